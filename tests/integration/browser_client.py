#!/usr/bin/env python3
"""Drives Debian's Chromium, headless, over the DevTools protocol through the controller page:
pairs with the PIN, touches sticks, triggers and buttons (several fingers at once) and reloads
to be trusted. Prints one line per result and "console error: ..." for anything the page logs
as an error. Usage: browser_client.py URL PIN"""
import asyncio
import itertools
import json
import re
import subprocess
import sys
import tempfile
import urllib.request

import websockets

URL, PIN = sys.argv[1], sys.argv[2]


class Page:
    def __init__(self, ws):
        self.ws, self.ids, self.waiting, self.errors = ws, itertools.count(1), {}, []
        self.reader = asyncio.ensure_future(self.read())

    async def read(self):
        async for message in self.ws:
            m = json.loads(message)
            method, params = m.get("method"), m.get("params", {})
            if m.get("id") in self.waiting:
                self.waiting.pop(m["id"]).set_result(m)
            elif method == "Runtime.consoleAPICalled" and params["type"] == "error":
                self.errors.append(" ".join(str(a.get("value", a.get("description")))
                                            for a in params["args"]))
            elif method == "Runtime.exceptionThrown":
                self.errors.append(params["exceptionDetails"].get("exception", {})
                                   .get("description", "exception"))
            elif method == "Log.entryAdded" and params["entry"]["level"] == "error":
                self.errors.append(params["entry"]["text"])

    async def call(self, method, **params):
        key = next(self.ids)
        self.waiting[key] = asyncio.get_running_loop().create_future()
        await self.ws.send(json.dumps(dict(id=key, method=method, params=params)))
        answer = await asyncio.wait_for(self.waiting[key], 15)
        if "error" in answer:
            raise RuntimeError(f"{method}: {answer['error']}")
        return answer.get("result", {})

    async def value(self, expression):
        result = await self.call("Runtime.evaluate", expression=expression, returnByValue=True)
        return result["result"].get("value")

    async def until(self, expression):
        for _ in range(200):
            if await self.value(expression):
                return True
            await asyncio.sleep(0.05)
        return False

    async def centre(self, selector, dx=0.0, dy=0.0):
        """A point in an element: its centre, moved by fractions of its half size."""
        x, y, w, h = await self.value(
            f"(r => [r.x, r.y, r.width, r.height])(document.querySelector({json.dumps(selector)})"
            ".getBoundingClientRect())")
        return dict(x=x + w / 2 * (1 + dx), y=y + h / 2 * (1 + dy))

    async def hold(self, points, seconds=0.3):
        """Fingers down on several points at once, held, then all lifted."""
        await self.call("Input.dispatchTouchEvent", type="touchStart",
                        touchPoints=[dict(p, id=i) for i, p in enumerate(points)])
        await asyncio.sleep(seconds)
        await self.call("Input.dispatchTouchEvent", type="touchEnd", touchPoints=[])
        await asyncio.sleep(0.2)


async def drive(page):
    for domain in ("Runtime", "Log", "Page"):
        await page.call(f"{domain}.enable")
    await page.call("Emulation.setDeviceMetricsOverride", width=844, height=390,
                    deviceScaleFactor=2, mobile=True,
                    screenOrientation=dict(type="landscapePrimary", angle=90))
    await page.call("Emulation.setTouchEmulationEnabled", enabled=True, maxTouchPoints=5)
    await page.call("Page.navigate", url=URL)
    dialog_open = "document.querySelector('#pairing').open"
    player_1 = "/^Player 1/.test(document.querySelector('#status').textContent)"
    print(f"pin dialog {await page.until(dialog_open)}")
    notice = await page.value("(n => n.hidden ? '' : n.textContent)(document.querySelector('#notice'))")
    print(f"secure={await page.value('isSecureContext')} notice={notice}")
    for button in [f"#keypad button[value='{digit}']" for digit in PIN] + ["#pin-ok"]:
        await page.hold([await page.centre(button)], seconds=0)
    print(f"paired {await page.until(player_1)}")

    # One finger on A; then both sticks at once; then a full right trigger; then LB with d-pad up.
    await page.hold([await page.centre(".face .south")])
    await page.hold([await page.centre(".stick[data-stick=left]", dx=0.95),
                     await page.centre(".stick[data-stick=right]", dy=-0.95)])
    await page.hold([await page.centre(".trigger[data-trigger=right]", dy=0.9)])
    await page.hold([await page.centre(".left .bumper"), await page.centre(".dpad .up")])
    await asyncio.sleep(0.3)

    # The stored identity makes the next visit trusted: no PIN.
    await page.call("Page.reload")
    await asyncio.sleep(0.2)
    trusted = await page.until(player_1)
    print(f"trusted after reload {trusted and not await page.value(dialog_open)}")


async def main():
    with tempfile.TemporaryDirectory(prefix="jolto-", ignore_cleanup_errors=True) as profile:
        browser = subprocess.Popen(
            ["/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu", "--mute-audio",
             f"--user-data-dir={profile}", "--remote-debugging-port=0", "about:blank"],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        try:
            port = next(m.group(1) for line in browser.stderr
                        if (m := re.search(r"DevTools listening on ws://[^:]+:(\d+)/", line)))
            with urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list") as answer:
                page_endpoint = next(t["webSocketDebuggerUrl"] for t in json.load(answer)
                                     if t["type"] == "page")
            async with websockets.connect(page_endpoint, max_size=None) as ws:
                page = Page(ws)
                await drive(page)
                for error in page.errors:
                    print(f"console error: {error}")
        finally:
            browser.terminate()
            browser.wait(10)


asyncio.run(main())
