#!/usr/bin/env python3
"""The monitor page in a real browser against a real listener with two real
jobs, one direct and one through the suite's message server on 127.0.0.1:5222:
both rows show with their phases, a chart gains points, the charted fields are
the user's choice and kept across a reload, the type filter's count counts what
it shows, Back and Forward go through the views, the Stop button ends a job
with status 3 and its row says so, a job gone without its end shows crashed in
red and needing a look, job text with markup stays text, two jobs overlay on
one chart and a job's messages download as CSV.
Saves a screenshot, then measures (and only prints) the page with 1,000 jobs
and a job of 100,000 messages.

    monitor_page_test.py --listen IPM_LISTEN --job IPM_JOB --screenshot PNG...
"""

import argparse
import csv
import json
import os
import queue
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
from urllib.request import urlopen

from selenium import webdriver
from selenium.common.exceptions import StaleElementReferenceException, TimeoutException
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

HANG_BOUND = 60  # seconds; only catches a hang
SCALE_BOUND = 180  # seconds the scale figures may take on a loaded machine
MARKUP = "<img src=x onerror=alert(1)>"
BROWSER_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--window-size=1400,1100"]


def command(message_type, fields, ints=(), doubles=(), texts=()):
    return json.dumps({"send": "buffered", "type": message_type, "format": fields, "ints": list(ints),
                       "doubles": list(doubles), "texts": list(texts)}) + "\n"


def script(phase, steps, requests):
    """Started, a phase, then a falling residual every 100 ms; with `requests`
    it first offers one and answers the first that comes."""
    lines = [command("Started", "program=%s heading=%s", texts=["solver", MARKUP]),
             command("Step", "step=%i phase=%e", ints=[1], texts=[phase])]
    if requests:
        lines += [json.dumps({"offer": {"checkpoint": "Write a restart file now"}}) + "\n",
                  json.dumps({"answer": "done", "text": "written to restart.rst"}) + "\n"]
    for i in range(steps):
        lines.append(command("Progress", "step=%i increment=%i residual=%r", ints=[1, i], doubles=[10 ** (-i / 40)]))
        if i == 5:
            lines.append(command("Warning", "message=%s", texts=["residual above tolerance, cutting back"]))
        lines.append('{"sleep":100}\n')
    return "".join(lines)


class Listener:
    """ipm-listen on free loopback ports, logged in to the message server."""

    def __init__(self, program, directory):
        self.jid = f"mon{os.getpid()}@localhost/desk"
        self.database = os.path.join(directory, "history.db")
        self.process = subprocess.Popen([program, "--jabber", self.jid, "--port", "0", "--http", "127.0.0.1:0",
                                         "--db", self.database],
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True)
        self.lines = queue.Queue()
        threading.Thread(target=lambda: [self.lines.put(line) for line in self.process.stdout], daemon=True).start()
        self.port = int(self.line("listening on 127.0.0.1:").rsplit(":", 1)[1])
        self.url = self.line("monitor at ").split()[-1]

    def line(self, prefix):
        deadline = time.monotonic() + HANG_BOUND
        while time.monotonic() < deadline:
            try:
                line = self.lines.get(timeout=deadline - time.monotonic()).strip()
            except queue.Empty:
                break
            if line.startswith(prefix):
                return line
        sys.exit(f"the listener never printed {prefix!r}")


def start_job(program, directory, name, transport, listener, phase):
    where = ([f"msgserver=localhost", f"listener_name={listener.jid.split('@')[0]}", "listener_resource=desk"]
             if transport == "jabber" else ["listener_name=127.0.0.1", f"direct_port={listener.port}"])
    path = os.path.join(directory, name + ".script")
    with open(path, "w", encoding="utf-8") as file:
        file.write(script(phase, 600, transport == "direct"))
    with open(path, encoding="utf-8") as stdin:
        return subprocess.Popen([program, "-transport", transport, f"job={name}", "message=ALL",
                                 f"indir={directory}"] + where, stdin=stdin, stderr=subprocess.PIPE, text=True)


# The jobs table draws only the rows in view, and redraws them as jobs
# change: an element found a moment ago may be gone, and is looked for again.
def wait(driver, condition, what):
    return WebDriverWait(driver, HANG_BOUND, poll_frequency=0.1,
                         ignored_exceptions=[StaleElementReferenceException]).until(lambda d: condition(),
                                                                                    f"no {what}")


def row_of(driver, name):
    rows = [row for row in driver.find_elements(By.CSS_SELECTOR, "#jobs tbody tr:not(.spacer)")
            if row.find_element(By.CSS_SELECTOR, ".job-name span").text == name]
    return rows[0] if rows else None


def cell(row, index):
    return row.find_elements(By.TAG_NAME, "td")[index].text


def points(driver, field="residual"):
    return driver.execute_script(
        f"return Number(document.querySelector('.chart[data-field=\"{field}\"]')?.dataset.points || 0)")


def chart_box(driver, field):
    return driver.find_element(By.CSS_SELECTOR, f'#chart-fields input[data-field="{field}"]')


def check_view_controls(driver, direct, jabber):
    """Field choice kept per job name, the filtered count, and the browser's Back and Forward."""
    assert driver.title == driver.find_element(By.CSS_SELECTOR, "header h1").text, "one name for the product"
    wait(driver, lambda: driver.find_elements(By.CSS_SELECTOR, '#chart-fields input[data-field="increment"]'),
         "a choice for the increment field")
    chart_box(driver, "increment").click()
    wait(driver, lambda: not driver.find_elements(By.CSS_SELECTOR, '.chart[data-field="increment"]'),
         "the increment chart gone")
    driver.refresh()
    wait(driver, lambda: driver.find_element(By.ID, "job-title").text == jabber, "the view restored by the address")
    wait(driver, lambda: points(driver) > 0, "residual chart after the reload")
    assert not chart_box(driver, "increment").is_selected(), "the choice is remembered"
    assert not driver.find_elements(By.CSS_SELECTOR, '.chart[data-field="increment"]')
    chart_box(driver, "increment").click()
    wait(driver, lambda: points(driver, "increment") > 0, "the increment chart back")

    # The list's types come with its messages, which may arrive after the charts.
    wait(driver, lambda: driver.find_elements(By.CSS_SELECTOR, '#type-filter option[value="Warning"]'),
         "the Warning type to filter by")
    Select(driver.find_element(By.ID, "type-filter")).select_by_value("Warning")
    wait(driver, lambda: driver.find_element(By.ID, "message-count").text == "1 Warning message", "the filtered count")
    Select(driver.find_element(By.ID, "type-filter")).select_by_value("")

    row_of(driver, direct).click()
    wait(driver, lambda: driver.find_element(By.ID, "job-title").text == direct, "the direct job's view")
    driver.back()
    wait(driver, lambda: driver.find_element(By.ID, "job-title").text == jabber, "Back to the Jabber job's view")
    driver.find_element(By.ID, "job-close").click()
    wait(driver, lambda: not driver.find_element(By.ID, "job-view").is_displayed(), "the view closed")
    driver.back()
    wait(driver, lambda: driver.find_element(By.ID, "job-view").is_displayed(), "Back to the open view")
    driver.forward()
    wait(driver, lambda: not driver.find_element(By.ID, "job-view").is_displayed(), "Forward to the closed view")


def check_request(driver, direct):
    """The direct job's offered request as a button, and its answer."""
    row_of(driver, direct).click()
    wait(driver, lambda: driver.find_elements(By.CSS_SELECTOR, '#job-requests button[data-request="checkpoint"]'),
         "the offered request's button")
    button = driver.find_element(By.CSS_SELECTOR, '#job-requests button[data-request="checkpoint"]')
    assert button.text == "Write a restart file now"
    button.click()
    wait(driver, lambda: "done — written to restart.rst" in driver.find_element(By.ID, "job-requests").text,
         "the request's answer")
    assert 'no answer' in driver.find_element(By.ID, "job-requests").text, "the page states the answer time"


def check_page(driver, listener, direct, jabber, screenshots):
    driver.get(listener.url)
    rows = {}
    for name, phase in ((direct, "Loading"), (jabber, "Solve")):
        wait(driver, lambda: row_of(driver, name) and cell(row_of(driver, name), 5) == phase, f"{name} in {phase}")
        rows[name] = row_of(driver, name)
    assert cell(rows[jabber], 3) == "jabber" and cell(rows[direct], 3) == "direct"
    check_request(driver, direct)

    rows[jabber].click()
    wait(driver, lambda: points(driver) > 0, "residual chart")
    first = points(driver)
    wait(driver, lambda: points(driver) > first, "new points on the chart")
    wait(driver, lambda: MARKUP in driver.find_element(By.ID, "messages").text, "heading shown as text")
    assert not driver.find_elements(By.CSS_SELECTOR, "img"), "job text became markup"
    check_view_controls(driver, direct, jabber)

    row_of(driver, direct).find_element(By.CSS_SELECTOR, "button.stop").click()
    alert = driver.switch_to.alert
    assert direct in alert.text
    alert.accept()
    wait(driver, lambda: cell(row_of(driver, direct), 4).startswith("killed"), "killed row")
    assert "stop sent" in cell(row_of(driver, direct), 4)
    driver.find_element(By.ID, "jobs-title").click()  # the pointer off the rows, for the picture
    time.sleep(1)  # a few more points for the picture
    for path in screenshots:
        driver.save_screenshot(path)


def check_crash(driver, listener):
    """A job whose connection ends without its end: crashed, red like an error, needing a look."""
    name = f"crash{os.getpid()}"
    fake_job(listener.port, name, [document("Started", [("handle", "integer", 9)])]).close()
    wait(driver, lambda: row_of(driver, name) and cell(row_of(driver, name), 4) == "crashed", "crashed row")
    row = row_of(driver, name)
    badge = row.find_element(By.CSS_SELECTOR, ".badge")
    assert badge.text == "needs a look: crashed" and badge.get_attribute("data-kind") == "error", badge.text
    color = lambda element: element.value_of_css_property("color")
    assert color(row.find_element(By.CSS_SELECTOR, ".state")) == color(badge), "crashed is shown in the error colour"


def fake_job(port, name, documents):
    """A job as the direct port sees it: its name, then message documents."""
    connection = socket.create_connection(("127.0.0.1", port), timeout=SCALE_BOUND)
    connection.sendall(name.encode() + b"".join(documents))
    return connection


def document(message_type, fields):
    values = "".join(f'<{key} type="{kind}">{value}</{key}>' for key, kind, value in fields)
    return f"<{message_type}>{values}</{message_type}>\n".encode()


def page_clock_when(driver, condition):
    """The page's clock (milliseconds since it was opened) once `condition` holds in it."""
    return driver.execute_async_script(f"""
        const done = arguments[0];
        const check = () => ({condition}) ? done(performance.now()) : requestAnimationFrame(check);
        check();""")


def stored_messages(listener, name):
    page, token = listener.url.split("?")
    with urlopen(f"{page}api/jobs?{token}", timeout=HANG_BOUND) as answer:
        jobs = [job for job in json.load(answer)["jobs"] if job["name"] == name]
    return (jobs[0]["id"], jobs[0]["messages"]) if jobs else (None, 0)


def measure_scale(driver, listener):
    """1,000 jobs in the table and 100,000 points on one chart: figures printed, not judged."""
    progress = [document("Progress", [("step", "integer", i // 1000), ("residual", "float", 10 ** (-i / 20000))])
                for i in range(100_000)]
    big = fake_job(listener.port, "long", [document("Started", [("handle", "integer", 1)])] + progress)
    crowd = [fake_job(listener.port, f"crowd{n}", [document("Started", [("handle", "integer", n)])])
             for n in range(998)]
    deadline = time.monotonic() + SCALE_BOUND
    while stored_messages(listener, "long")[1] < 100_001 and time.monotonic() < deadline:
        time.sleep(0.2)
    residual = "document.querySelector('.chart[data-field=\"residual\"]')?.dataset.points"
    driver.get("about:blank")
    driver.get(f"{listener.url}#job={stored_messages(listener, 'long')[0]}")
    table = page_clock_when(driver, "document.getElementById('jobs').dataset.rows >= 1000")
    chart = page_clock_when(driver, f"document.body.dataset.jobShown && {residual} > 0")
    # The view took what the page asked for before its scripts loaded: both ask for the same.
    assert driver.execute_script("return window.ipmPage.answers.size") == 0, "answers asked for early left unused"
    latest = "document.querySelector('.chart[data-field=\"residual\"] .chart-latest')?.textContent"
    start, before = driver.execute_script(f"return [performance.now(), {residual}]")
    big.sendall(document("Progress", [("step", "integer", 100), ("residual", "float", 1e-6)]))
    update = page_clock_when(driver, f"{latest} === '1e-6'") - start
    print(f"page with {len(crowd) + 3} jobs: table shown {table:.0f} ms after opening, "
          f"the 100,000-message job's charts ({before} points) {chart:.0f} ms after opening; "
          f"a new point drawn {update:.0f} ms after it was sent")
    for connection in crowd + [big]:
        connection.close()


def check_compare_and_download(driver, listener, direct, jabber):
    """Two jobs' residuals on one chart, and one job's messages taken away as CSV."""
    driver.find_element(By.ID, "compare-open").click()
    for name in (direct, jabber):
        driver.find_element(By.XPATH, f'//div[@id="compare-jobs"]/label[contains(., "{name} ")]/input').click()
    # The choice is offered anew as each job is ticked; a choice made keeps.
    choose = "const s = document.getElementById('compare-field'); s.value = 'residual'; return s.value"
    wait(driver, lambda: driver.execute_script(choose) == "residual", "the residual offered for comparison")
    driver.find_element(By.ID, "compare-draw").click()
    wait(driver, lambda: driver.find_element(By.ID, "compare-chart").get_attribute("data-series") == "2"
         and driver.find_elements(By.CSS_SELECTOR, "#compare-chart canvas"), "two jobs on one chart")
    legend = driver.find_element(By.ID, "compare-chart").text
    assert direct in legend and jabber in legend, legend

    row_of(driver, direct).click()
    wait(driver, lambda: driver.find_element(By.ID, "job-title").text == direct, "the direct job's view")
    link = driver.find_element(By.ID, "job-csv").get_attribute("href")
    with urlopen(link, timeout=HANG_BOUND) as answer:
        rows = list(csv.DictReader(answer.read().decode().splitlines()))
    job_id, stored = stored_messages(listener, direct)
    assert link.endswith(f"/api/jobs/{job_id}/export?format=csv&token={listener.url.split('token=')[1]}")
    assert len(rows) == stored and any(row["residual"] for row in rows), (len(rows), stored)


def check_import_and_end(driver, listener, program, directory):
    """A log imported meanwhile shows at once, charted against the message number, a type it sent
    long before its newest messages offered, its FatalError counted and tinted as an error; the end
    is said."""
    name = f"log{os.getpid()}"
    log = os.path.join(directory, f"{name}.ipm")
    # Its Warning is older than the newest page of messages.
    with open(log, "wb") as file:
        file.write(document("Started", [("handle", "integer", 5)]) +
                   document("Warning", [("message", "string", "mesh distorted")]) + b"".join(
            document("Progress", [("step", "integer", i), ("residual", "float", 10.0 ** -i)]) for i in range(3)) +
            b"".join(document("Step", [("phase", "string", f"pass {i}")]) for i in range(150)) +
            document("FatalError", [("message", "string", "diverged")]))
    subprocess.run([program, "--import", log, "--db", listener.database], check=True, timeout=HANG_BOUND,
                   stdout=subprocess.DEVNULL)
    wait(driver, lambda: row_of(driver, name), "the imported job in the open page")
    row_of(driver, name).click()
    wait(driver, lambda: driver.find_element(By.ID, "job-title").text == name and points(driver) == 3,
         "the imported job's residual chart")
    assert Select(driver.find_element(By.ID, "x-axis")).first_selected_option.text == "message number"
    wait(driver, lambda: driver.find_elements(By.CSS_SELECTOR, '#type-filter option[value="Warning"]'),
         "the early Warning's type to filter by")
    Select(driver.find_element(By.ID, "type-filter")).select_by_value("Warning")
    wait(driver, lambda: driver.find_element(By.ID, "message-count").text == "1 Warning message",
         "the early Warning counted and shown")
    Select(driver.find_element(By.ID, "type-filter")).select_by_value("")
    assert cell(row_of(driver, name), 14) == "1", "a FatalError counts as an error"
    wait(driver, lambda: driver.find_elements(By.CSS_SELECTOR, "#messages tr.kind-error .type"), "the error tinted")
    assert driver.find_element(By.CSS_SELECTOR, "#messages tr.kind-error .type").text == "FatalError"
    listener.process.terminate()
    wait(driver, lambda: driver.find_element(By.ID, "connection").text == "the listener has ended",
         "the page told that the listener ended")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--listen", required=True)
    parser.add_argument("--job", required=True)
    parser.add_argument("--screenshot", nargs="+", required=True)
    parser.add_argument("--measure", action="store_true", help="also time the page with 1,000 jobs")
    arguments = parser.parse_args()
    direct, jabber = f"beam{os.getpid()}", f"plate{os.getpid()}"
    with tempfile.TemporaryDirectory(prefix="ipm-page-") as directory:
        listener = Listener(arguments.listen, directory)
        jobs = [start_job(arguments.job, directory, direct, "direct", listener, "Loading"),
                start_job(arguments.job, directory, jabber, "jabber", listener, "Solve")]
        options = webdriver.ChromeOptions()
        for flag in BROWSER_FLAGS + [f"--user-data-dir={directory}/browser"]:
            options.add_argument(flag)
        driver = webdriver.Chrome(options=options)
        driver.set_script_timeout(HANG_BOUND)
        try:
            check_page(driver, listener, direct, jabber, arguments.screenshot)
            check_crash(driver, listener)
            status = jobs[0].wait(timeout=HANG_BOUND)
            assert status == 3, f"the stopped job ended with {status}: {jobs[0].stderr.read()}"
            driver.get(listener.url)
            check_compare_and_download(driver, listener, direct, jabber)
            if arguments.measure:
                driver.set_script_timeout(SCALE_BOUND)
                try:
                    measure_scale(driver, listener)
                except (OSError, TimeoutException) as failure:
                    print(f"page with 1,000 jobs: not measured ({failure!r})")
                driver.get(listener.url)
            check_import_and_end(driver, listener, arguments.listen, directory)
        finally:
            driver.quit()
            for process in jobs + [listener.process]:
                process.kill()
                process.wait()
    print("monitor page: rows, phases, live chart, stop, inert job text, live import and end as expected")


if __name__ == "__main__":
    main()
