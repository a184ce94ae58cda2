#!/usr/bin/env python3
"""Alerts reach the engineer where they are: an independent Jabber client logs
in to the suite's message server as the engineer and joins a team room; the
listener, told to alert on a crash, a silence, a non-finite value and a
diverging residual, sends each alert exactly once to the engineer's account,
once to the room and once to a webhook receiver on loopback. The metrics page then parses with a
standard text parser and agrees with the API.

    alerts_test.py --listen IPM_LISTEN --job IPM_JOB --prosody-config CFG
"""

import argparse
import asyncio
import http.server
import json
import os
import queue
import subprocess
import sys
import tempfile
import threading
import time
from urllib.request import Request, urlopen

import slixmpp
from prometheus_client.parser import text_string_to_metric_families

HANG_BOUND = 60  # seconds; only catches a hang
SETTLE = 3  # seconds in which a duplicate alert would have come
PASSWORD = "engineer-secret"


class Engineer(threading.Thread):
    """A person's Jabber client: joins the room, collects what it is sent."""

    def __init__(self, jid, room, nick):
        super().__init__(daemon=True)
        self.jid, self.room, self.nick = jid, room, nick
        self.chats, self.posts, self.ready = queue.Queue(), queue.Queue(), threading.Event()

    def run(self):
        asyncio.set_event_loop(asyncio.new_event_loop())
        client = slixmpp.ClientXMPP(self.jid, PASSWORD)
        client.register_plugin("xep_0045")
        client["feature_mechanisms"].unencrypted_plain = True
        client.add_event_handler("session_start", lambda _: asyncio.ensure_future(self.join(client)))
        client.add_event_handler("message", lambda m: m["type"] == "chat" and self.chats.put(str(m["body"])))
        client.add_event_handler("groupchat_message",
                                 lambda m: m["mucnick"] != self.nick and m["body"] and self.posts.put(str(m["body"])))
        client.connect(("127.0.0.1", 5222), disable_starttls=True)
        client.process(forever=True)

    async def join(self, client):
        client.send_presence()
        await client["xep_0045"].join_muc_wait(self.room, self.nick, maxstanzas=0, timeout=HANG_BOUND)
        self.ready.set()


class Webhook(http.server.BaseHTTPRequestHandler):
    received = queue.Queue()

    def do_POST(self):
        Webhook.received.put(json.loads(self.rfile.read(int(self.headers["Content-Length"]))))
        self.send_response(200)
        self.end_headers()

    def log_message(self, *arguments):
        pass


def collect(box, count):
    """`count` items, then whatever else comes within SETTLE seconds."""
    items, deadline = [], time.monotonic() + HANG_BOUND
    while len(items) < count and time.monotonic() < deadline:
        try:
            items.append(box.get(timeout=deadline - time.monotonic()))
        except queue.Empty:
            break
    time.sleep(SETTLE)
    while not box.empty():
        items.append(box.get())
    return items


def script(residuals, pause=0):
    """These residuals, one a step, 100 ms apart, then a pause; the job's script spells NaN "nan"."""
    lines = [json.dumps({"send": "buffered", "type": "Progress", "format": "step=%i residual=%r", "ints": [step],
                         "doubles": [value if value == value else "nan"]}) + '\n{"sleep":100}\n'
             for step, value in enumerate(residuals)]
    return "".join(lines) + json.dumps({"sleep": pause}) + "\n"


def start_job(program, directory, port, name):
    return subprocess.Popen([program, f"job={name}", "message=ALL", f"indir={directory}", "listener_name=127.0.0.1",
                             f"direct_port={port}"], stdin=subprocess.PIPE, text=True)


def run_job(program, directory, port, name, residuals, pause=0):
    job = start_job(program, directory, port, name)
    job.communicate(script(residuals, pause), timeout=HANG_BOUND)
    assert job.returncode == 0, f"{name} ended with {job.returncode}"


def messages_of(page, token, name):
    with urlopen(Request(f"{page}/api/jobs", headers={"X-IPM-Token": token}), timeout=HANG_BOUND) as answer:
        return sum(job["messages"] for job in json.load(answer)["jobs"] if job["name"] == name)


def crash_job(program, directory, port, page, token):
    """A job killed outright once the listener has its first message."""
    job = start_job(program, directory, port, "lost")
    job.stdin.write(script([1e-3], pause=60000))
    job.stdin.flush()
    deadline = time.monotonic() + HANG_BOUND
    while messages_of(page, token, "lost") == 0 and time.monotonic() < deadline:
        time.sleep(0.05)
    job.kill()
    job.wait(HANG_BOUND)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--listen", required=True)
    parser.add_argument("--job", required=True)
    parser.add_argument("--prosody-config", required=True)
    arguments = parser.parse_args()
    tag = os.getpid()
    # The engineer's account exists beforehand, as a person's would.
    subprocess.run(["prosodyctl", "--config", arguments.prosody_config, "register", f"eng{tag}", "localhost",
                    PASSWORD], check=True, timeout=HANG_BOUND)
    room, nick = f"team{tag}@conference.localhost", f"eng{tag}"
    engineer = Engineer(f"eng{tag}@localhost/phone", room, nick)
    engineer.start()
    if not engineer.ready.wait(HANG_BOUND):
        sys.exit("the engineer's client never joined the room")
    hook = http.server.HTTPServer(("127.0.0.1", 0), Webhook)
    threading.Thread(target=hook.serve_forever, daemon=True).start()

    with tempfile.TemporaryDirectory(prefix="ipm-alerts-") as directory:
        listener = subprocess.Popen(
            [arguments.listen, "--jabber", f"mon{tag}@localhost/desk", "--port", "0", "--http", "127.0.0.1:0",
             "--db", os.path.join(directory, "history.db"), "--silent-after", "1", "--alert", "crashed",
             "--alert", "silent", "--alert", "nonfinite",
             "--alert", "grows:residual:1000:5", "--notify", f"eng{tag}@localhost",
             "--notify-room", f"{room}/ipm{tag}", "--webhook", f"http://127.0.0.1:{hook.server_port}/hook"],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True)
        try:
            port = int(listener.stdout.readline().rsplit(":", 1)[1])
            monitor = next(line for line in listener.stdout if line.startswith("monitor at ")).split()[-1]
            page, token = monitor.split("/?token=")
            run_job(arguments.job, directory, port, "blowup", [1e-3, float("nan"), float("nan"), 1e-3])
            run_job(arguments.job, directory, port, "drift", [1e-6, 1e-5, 1e-4, 1e-3, 1e-2, 1e-1])
            crash_job(arguments.job, directory, port, page, token)
            run_job(arguments.job, directory, port, "quiet", [1e-3, 1e-3, 1e-3], pause=4000)

            chats, posts, hooks = collect(engineer.chats, 4), collect(engineer.posts, 4), collect(Webhook.received, 4)
            for where, texts in (("account", chats), ("room", posts), ("webhook", [h["text"] for h in hooks])):
                assert len(texts) == 4, f"{where} got {texts}"
                assert any("lost" in t and ": crashed" in t for t in texts), texts
                assert any("quiet" in t and ": silent" in t for t in texts), texts
                assert any("blowup" in t and "nonfinite: residual = " in t for t in texts), texts
                assert any("drift" in t and "grew from 1e-06 to 0.001" in t for t in texts), texts
                assert all(monitor.split("?")[0] in t for t in texts), "each alert links to the monitor"
            assert {h["rule"] for h in hooks} == {"crashed", "silent", "nonfinite", "grows:residual:1000:5"}

            with urlopen(Request(f"{page}/metrics", headers={"Authorization": f"Bearer {token}"}),
                         timeout=HANG_BOUND) as answer:
                families = {family.name: family for family in text_string_to_metric_families(answer.read().decode())}
            with urlopen(Request(f"{page}/api/jobs", headers={"X-IPM-Token": token}), timeout=HANG_BOUND) as answer:
                jobs = {job["name"]: job for job in json.load(answer)["jobs"]}
            counted = {sample.labels["name"]: sample.value for sample in families["ipm_job_messages"].samples}
            assert counted == {name: job["messages"] for name, job in jobs.items()}, counted
            assert families["ipm_listener_alerts"].samples[0].value == 4
            try:
                urlopen(f"{page}/metrics", timeout=HANG_BOUND)
                sys.exit("metrics served without the token")
            except OSError as refused:
                assert "403" in str(refused)
        finally:
            listener.terminate()
            listener.wait(HANG_BOUND)
    print("alerts reached the account, the room and the webhook once each; the metrics agree with the API")


if __name__ == "__main__":
    main()
