#!/usr/bin/env python3
"""Drives Debian's Chromium, headless, over the DevTools protocol through the controller page:
pairs with the PIN, touches sticks, triggers and buttons (several fingers at once), reloads to
be trusted, and saves screenshots. Prints one line per result and "console error: ..." for
anything the page logs as an error. Usage: browser_client.py URL PIN SCREENSHOT_DIR"""
import asyncio
import base64
import itertools
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

import websockets

URL, PIN, SHOTS = sys.argv[1], sys.argv[2], sys.argv[3]
LANDSCAPE = dict(width=844, height=390, deviceScaleFactor=2, mobile=True,
                 screenOrientation=dict(type="landscapePrimary", angle=90))
PORTRAIT = dict(width=390, height=844, deviceScaleFactor=2, mobile=True,
                screenOrientation=dict(type="portraitPrimary", angle=0))


def say(line):
    print(line, flush=True)


class Page:
    def __init__(self, ws):
        self.ws, self.ids, self.waiting, self.errors = ws, itertools.count(1), {}, []
        self.reader = asyncio.ensure_future(self.read())

    async def read(self):
        async for message in self.ws:
            m = json.loads(message)
            if "id" in m and m["id"] in self.waiting:
                self.waiting.pop(m["id"]).set_result(m)
            elif m.get("method") == "Runtime.consoleAPICalled" and m["params"]["type"] == "error":
                self.errors.append(" ".join(str(a.get("value", a.get("description")))
                                            for a in m["params"]["args"]))
            elif m.get("method") == "Runtime.exceptionThrown":
                self.errors.append(m["params"]["exceptionDetails"].get("exception", {})
                                   .get("description", "exception"))
            elif m.get("method") == "Log.entryAdded" and m["params"]["entry"]["level"] == "error":
                self.errors.append(m["params"]["entry"]["text"])

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

    async def until(self, expression, limit=10.0):
        for _ in range(int(limit / 0.05)):
            if await self.value(expression):
                return True
            await asyncio.sleep(0.05)
        return False

    async def centre(self, selector, dx=0.0, dy=0.0):
        """A point in an element: its centre, moved by fractions of its half size."""
        box = await self.value(f"(() => {{ const r = document.querySelector({json.dumps(selector)})"
                               ".getBoundingClientRect(); return [r.x, r.y, r.width, r.height]; })()")
        x, y, w, h = box
        return dict(x=x + w / 2 * (1 + dx), y=y + h / 2 * (1 + dy))

    async def touch(self, kind, points):
        await self.call("Input.dispatchTouchEvent", type=kind,
                        touchPoints=[dict(p, id=i) for i, p in enumerate(points)])

    async def tap(self, selector):
        point = await self.centre(selector)
        await self.touch("touchStart", [point])
        await self.touch("touchEnd", [])

    async def hold(self, points, seconds=0.3):
        """Fingers down on several points at once, held, then all lifted."""
        await self.touch("touchStart", points)
        await asyncio.sleep(seconds)
        await self.touch("touchEnd", [])
        await asyncio.sleep(0.2)

    async def shot(self, name, metrics, dark):
        await self.call("Emulation.setDeviceMetricsOverride", **metrics)
        await self.call("Emulation.setEmulatedMedia", features=[
            dict(name="prefers-color-scheme", value="dark" if dark else "light")])
        await asyncio.sleep(0.3)
        data = (await self.call("Page.captureScreenshot", format="png"))["data"]
        with open(os.path.join(SHOTS, f"{name}.png"), "wb") as f:
            f.write(base64.b64decode(data))


async def drive(page):
    for domain in ("Runtime", "Log", "Page"):
        await page.call(f"{domain}.enable")
    await page.call("Emulation.setDeviceMetricsOverride", **LANDSCAPE)
    await page.call("Emulation.setTouchEmulationEnabled", enabled=True, maxTouchPoints=5)
    await page.call("Page.navigate", url=URL)
    dialog_open = "document.querySelector('#pairing').open"
    player_1 = "/^Player 1/.test(document.querySelector('#status').textContent)"
    say(f"pin dialog {await page.until(dialog_open)}")
    notice = await page.value("(n => n.hidden ? '' : n.textContent)(document.querySelector('#notice'))")
    say(f"secure={await page.value('isSecureContext')} notice={notice}")
    await page.shot("pin-landscape-light", LANDSCAPE, False)
    for digit in PIN:
        await page.tap(f"#keypad button[value='{digit}']")
    await page.tap("#pin-ok")
    say(f"paired {await page.until(player_1)}")

    # One finger on A; then both sticks at once; then a full right trigger; then LB with d-pad up.
    await page.hold([await page.centre(".face .south")])
    await page.hold([await page.centre(".stick[data-stick=left]", dx=0.95),
                     await page.centre(".stick[data-stick=right]", dy=-0.95)])
    await page.hold([await page.centre(".trigger[data-trigger=right]", dy=0.9)])
    await page.hold([await page.centre(".left .bumper"), await page.centre(".dpad .up")])
    await asyncio.sleep(0.3)

    for name, metrics in (("landscape", LANDSCAPE), ("portrait", PORTRAIT)):
        for dark in (False, True):
            await page.shot(f"pad-{name}-{'dark' if dark else 'light'}", metrics, dark)
    await page.call("Emulation.setDeviceMetricsOverride", **LANDSCAPE)

    # The stored identity makes the next visit trusted: no PIN.
    await page.call("Page.reload")
    await asyncio.sleep(0.2)
    trusted = await page.until(player_1)
    say(f"trusted after reload {trusted and not await page.value(dialog_open)}")


async def main():
    profile = tempfile.mkdtemp(prefix="jolto-chromium-")
    browser = subprocess.Popen(
        ["/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--no-first-run", "--disable-default-apps", "--mute-audio",
         f"--user-data-dir={profile}", "--remote-debugging-port=0", "about:blank"],
        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    try:
        endpoint = None
        for line in browser.stderr:
            if m := re.search(r"DevTools listening on (ws://\S+)", line):
                endpoint = m.group(1)
                break
        if not endpoint:
            say("browser did not start")
            return 1
        async with websockets.connect(endpoint, max_size=None) as ws:
            root = Page(ws)
            targets = (await root.call("Target.getTargets"))["targetInfos"]
            target = next(t for t in targets if t["type"] == "page")["targetId"]
        port = endpoint.split(":")[2].split("/")[0]
        async with websockets.connect(f"ws://127.0.0.1:{port}/devtools/page/{target}",
                                      max_size=None) as ws:
            page = Page(ws)
            await drive(page)
            for error in page.errors:
                say(f"console error: {error}")
        return 0
    finally:
        browser.terminate()
        try:
            browser.wait(10)
        except subprocess.TimeoutExpired:
            browser.kill()
        shutil.rmtree(profile, ignore_errors=True)


sys.exit(asyncio.run(main()))
