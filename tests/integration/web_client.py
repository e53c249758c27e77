#!/usr/bin/env python3
"""Clients of the host's WebSocket transport for the integration test, each printing one result
line per check. `web_client.py phone PORT PIN`: a phone speaking the host's datagrams as binary
messages, then the refusals. `web_client.py browser URL PIN`: Debian's Chromium, headless, driven
over the DevTools protocol through the controller page (pairing, several fingers at once, a reload
to be trusted), with "console error: ..." for anything the page logs as an error."""
import asyncio
import itertools
import json
import os
import re
import struct
import subprocess
import sys
import tempfile
import time
import urllib.request

import websockets

MODE, PIN = sys.argv[1], sys.argv[3]
URL = sys.argv[2] if MODE == "browser" else f"ws://127.0.0.1:{sys.argv[2]}/ws"
PORT = 0 if MODE == "browser" else int(sys.argv[2])
DEVICE, SECRET = os.urandom(16), os.urandom(16)


def packet(kind, body=b""):
    return b"ZEVC" + bytes([1, kind]) + body


def hello(pin=0xFFFF, name=b"Browser"):
    return packet(1, DEVICE + SECRET + struct.pack("<HB", pin, len(name)) + name)


async def receive(ws, kind):
    """The next message of one type, skipping others."""
    async with asyncio.timeout(3):
        while (message := await ws.recv())[:6] != packet(kind):
            pass
    return message


async def welcome(ws, pin=0xFFFF):
    await ws.send(hello(pin))
    return struct.unpack_from("<BIB", await receive(ws, 2), 6)  # status, session, player


async def pair_and_play():
    async with websockets.connect(URL) as ws:
        # Before a welcome nothing but a hello reaches the server: this ping goes unanswered.
        await ws.send(packet(4, struct.pack("<IQ", 0, 7)))
        status, session, player = await welcome(ws, int(PIN))
        print(f"paired status={status} player={player}")
        for sequence in range(1, 6):
            buttons = 1 if sequence < 5 else 0
            await ws.send(packet(3, struct.pack("<IIIhhhhBB", session, sequence, buttons, 0, 0,
                                                0, 0, 0, 0)))
            await asyncio.sleep(0.02)
        await ws.send(packet(4, struct.pack("<IQ", session, 123456789)))
        pong = await receive(ws, 5)
        print(f"pong echoed={struct.unpack_from('<Q', pong, 6)[0] == 123456789}")
        rumble = await receive(ws, 7)
        ours = struct.unpack_from('<I', rumble, 6)[0] == session
        print(f"rumble session={ours} low={rumble[10]} high={rumble[11]}")
        await ws.send(packet(6, struct.pack("<I", session)))


async def refusals():
    try:
        async with websockets.connect(URL, origin="http://evil.example"):
            print("foreign origin accepted")
    except websockets.exceptions.InvalidStatusCode as e:
        print(f"foreign origin refused status={e.status_code}")
    async with websockets.connect(URL, origin=f"http://127.0.0.1:{PORT}") as ws:
        await ws.send(hello(name=b"x" * 255) + b"!")
        try:
            await asyncio.wait_for(ws.recv(), 3)
            print("oversized answered")
        except websockets.exceptions.ConnectionClosed as e:
            print(f"oversized closed code={e.rcvd.code if e.rcvd else None}")
    for path in ("/", "/nothing", "/../etc/passwd"):
        reader, writer = await asyncio.open_connection("127.0.0.1", PORT)
        writer.write(f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1:{PORT}\r\n\r\n".encode())
        line = await asyncio.wait_for(reader.readline(), 3)
        print(f"get {path} {line.split()[1].decode()}")
        writer.close()


async def slow_headers():
    """A request that trickles in a header line a second: the handshake deadline ends it."""
    reader, writer = await asyncio.open_connection("127.0.0.1", PORT)
    started = time.monotonic()
    writer.write(f"GET / HTTP/1.1\r\nHost: 127.0.0.1:{PORT}\r\n".encode())
    while not (reader.at_eof() or reader.exception()) and time.monotonic() - started < 12:
        writer.write(b"X-Slow: 1\r\n")
        await asyncio.sleep(0.5)
    writer.close()
    return f"slow headers closed_at_deadline={4.5 < time.monotonic() - started < 7}"


async def idle_flood():
    idle = [await asyncio.open_connection("127.0.0.1", PORT) for _ in range(200)]
    await asyncio.sleep(0.5)
    print(f"idle open={sum(not (r.at_eof() or r.exception()) for r, _ in idle)}")
    started = time.monotonic()
    async with websockets.connect(URL) as ws:
        status = (await welcome(ws))[0]
        print(f"during flood status={status} in_time={time.monotonic() - started < 2}")
    for _, writer in idle:
        writer.close()


async def phone():
    slow = asyncio.ensure_future(slow_headers())
    await pair_and_play()
    await refusals()
    print(await slow)
    await idle_flood()


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
    if not await page.value("isSecureContext"):
        notice = "(n => n.hidden ? 'hidden' : n.textContent)(document.querySelector('#notice'))"
        print(f"insecure, notice: {await page.value(notice)}")
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


async def browser():
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


asyncio.run(phone() if MODE == "phone" else browser())
