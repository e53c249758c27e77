#!/usr/bin/env python3
"""A WebSocket phone for the integration test: speaks the host's datagrams as binary messages
with Python's `websockets` and prints one result line per check. Usage: ws_client.py PORT PIN"""
import asyncio
import os
import struct
import sys
import time

import websockets

PORT, PIN = int(sys.argv[1]), int(sys.argv[2])
URL = f"ws://127.0.0.1:{PORT}/ws"
DEVICE, SECRET = os.urandom(16), os.urandom(16)


def header(kind):
    return b"ZEVC" + bytes([1, kind])


def hello(pin=None, name="Browser"):
    raw = name.encode()
    return header(1) + DEVICE + SECRET + struct.pack("<H", 0xFFFF if pin is None else pin) + \
        bytes([len(raw)]) + raw


def state(session, sequence, buttons):
    return header(3) + struct.pack("<IIIhhhhBB", session, sequence, buttons, 0, 0, 0, 0, 0, 0)


async def receive(ws, kind, limit=3.0):
    """The next message of one type, skipping others."""
    deadline = time.monotonic() + limit
    while True:
        message = await asyncio.wait_for(ws.recv(), deadline - time.monotonic())
        if isinstance(message, bytes) and message[:4] == b"ZEVC" and message[5] == kind:
            return message


async def welcome(ws, message):
    await ws.send(message)
    answer = await receive(ws, 2)
    status, session, player = struct.unpack_from("<BIB", answer, 6)
    return status, session, player


def say(line):
    print(line, flush=True)


async def pair_and_play():
    async with websockets.connect(URL) as ws:
        status, _, _ = await welcome(ws, hello())
        say(f"hello without pin status={status}")
        # Before a welcome nothing but a hello reaches the server: this ping goes unanswered.
        await ws.send(header(4) + struct.pack("<IQ", 0, 7))
        status, session, player = await welcome(ws, hello(PIN))
        say(f"paired status={status} player={player}")
        for sequence in range(1, 6):
            await ws.send(state(session, sequence, 1 if sequence < 5 else 0))
            await asyncio.sleep(0.02)
        stamp = 123456789
        await ws.send(header(4) + struct.pack("<IQ", session, stamp))
        pong = await receive(ws, 5)
        say(f"pong echoed={struct.unpack_from('<Q', pong, 6)[0] == stamp}")
        rumble = await receive(ws, 7)
        low, high = rumble[10], rumble[11]
        say(f"rumble session={struct.unpack_from('<I', rumble, 6)[0] == session} low={low} high={high}")
        await ws.send(header(6) + struct.pack("<I", session))


async def trusted_reconnect():
    async with websockets.connect(URL) as ws:
        status, _, player = await welcome(ws, hello())
        say(f"trusted status={status} player={player}")


async def refusals():
    try:
        async with websockets.connect(URL, origin="http://evil.example"):
            say("foreign origin accepted")
    except websockets.exceptions.InvalidStatusCode as e:
        say(f"foreign origin refused status={e.status_code}")
    async with websockets.connect(URL, origin=f"http://127.0.0.1:{PORT}") as ws:
        await ws.send(hello(name="x" * 255) + b"!")
        try:
            await asyncio.wait_for(ws.recv(), 3)
            say("oversized answered")
        except websockets.exceptions.ConnectionClosed as e:
            say(f"oversized closed code={e.rcvd.code if e.rcvd else None}")
    for path in ("/", "/controller.js", "/nothing", "/../etc/passwd"):
        reader, writer = await asyncio.open_connection("127.0.0.1", PORT)
        writer.write(f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1:{PORT}\r\n\r\n".encode())
        line = await asyncio.wait_for(reader.readline(), 3)
        say(f"get {path} {line.split()[1].decode()}")
        writer.close()


async def slow_headers():
    """A request that trickles in a header line a second: the handshake deadline ends it."""
    reader, writer = await asyncio.open_connection("127.0.0.1", PORT)
    started = time.monotonic()
    writer.write(f"GET / HTTP/1.1\r\nHost: 127.0.0.1:{PORT}\r\n".encode())
    for _ in range(12):
        try:
            if await asyncio.wait_for(reader.read(1), 1) == b"":
                break
        except asyncio.TimeoutError:
            writer.write(b"X-Slow: 1\r\n")
        except ConnectionError:
            break
    elapsed = time.monotonic() - started
    say(f"slow headers closed_at_deadline={4.5 < elapsed < 7}")
    writer.close()


async def idle_flood():
    idle = [await asyncio.open_connection("127.0.0.1", PORT) for _ in range(200)]
    await asyncio.sleep(0.5)

    async def closed(reader):
        try:
            return await asyncio.wait_for(reader.read(1), 0.05) == b""
        except (asyncio.TimeoutError, ConnectionError):
            return False
    results = [await closed(reader) for reader, _ in idle]
    say(f"idle open={results.count(False)}")
    started = time.monotonic()
    async with websockets.connect(URL) as ws:
        status, _, _ = await welcome(ws, hello())
        say(f"during flood status={status} in_time={time.monotonic() - started < 2}")
    for _, writer in idle:
        writer.close()


async def main():
    slow = asyncio.ensure_future(slow_headers())
    await pair_and_play()
    await trusted_reconnect()
    await refusals()
    await slow
    await idle_flood()


asyncio.run(main())
