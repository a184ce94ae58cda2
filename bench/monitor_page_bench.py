#!/usr/bin/env python3
"""Opens the monitor page on one job in headless Chromium and prints, by the
page's own clock, when the job's view had its charts drawn.

    monitor_page_bench.py PAGE_ADDRESS JOB_ID
"""

import sys

from selenium import webdriver

FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--window-size=1400,1100"]


def waits(driver):
    """The page's API requests as its own clock saw them."""
    entries = driver.execute_script("""
        return performance.getEntriesByType('resource')
            .filter((entry) => entry.name.includes('/api/'))
            .map((entry) => [new URL(entry.name).pathname.replace(/.*\\/api\\//, '') +
                             (new URL(entry.name).searchParams.get('field') || ''),
                             Math.round(entry.startTime), Math.round(entry.responseEnd)]);""")
    return ", ".join(f"{name} {start}-{end}" for name, start, end in entries)


def main():
    address, job = sys.argv[1], sys.argv[2]
    options = webdriver.ChromeOptions()
    for flag in FLAGS:
        options.add_argument(flag)
    driver = webdriver.Chrome(options=options)
    driver.set_script_timeout(120)
    try:
        driver.get(f"{address}#job={job}")
        shown, charts, points = driver.execute_async_script("""
            const done = arguments[0];
            const check = () => {
              const shown = document.body.dataset.jobShown;
              const charts = [...document.querySelectorAll('.chart')];
              if (shown && charts.length && charts.every((chart) => chart.dataset.points)) {
                done([Number(shown), charts.length, charts.map((chart) => Number(chart.dataset.points))]);
              } else {
                requestAnimationFrame(check);
              }
            };
            check();""")
        print(f"{shown:.0f} ms to open, {charts} charts drawn ({max(points)} points at most)")
        print("  its requests (ms from the start: sent-answered):", waits(driver))
    finally:
        driver.quit()


if __name__ == "__main__":
    main()
