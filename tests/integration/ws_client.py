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
        print(f"hello without pin status={(await welcome(ws))[0]}")
        # Before a welcome nothing but a hello reaches the server: this ping goes unanswered.
        await ws.send(packet(4, struct.pack("<IQ", 0, 7)))
        status, session, player = await welcome(ws, PIN)
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
    async with websockets.connect(URL) as ws:
        status, _, player = await welcome(ws)
        print(f"trusted status={status} player={player}")


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
    for path in ("/", "/controller.js", "/nothing", "/../etc/passwd"):
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
    for _ in range(12):
        try:
            if await asyncio.wait_for(reader.read(1), 1) == b"":
                break
        except asyncio.TimeoutError:
            writer.write(b"X-Slow: 1\r\n")
        except ConnectionError:
            break
    print(f"slow headers closed_at_deadline={4.5 < time.monotonic() - started < 7}")
    writer.close()


async def closed(reader):
    try:
        return await asyncio.wait_for(reader.read(1), 0.05) == b""
    except (asyncio.TimeoutError, ConnectionError):
        return False


async def idle_flood():
    idle = [await asyncio.open_connection("127.0.0.1", PORT) for _ in range(200)]
    await asyncio.sleep(0.5)
    print(f"idle open={[await closed(reader) for reader, _ in idle].count(False)}")
    started = time.monotonic()
    async with websockets.connect(URL) as ws:
        status = (await welcome(ws))[0]
        print(f"during flood status={status} in_time={time.monotonic() - started < 2}")
    for _, writer in idle:
        writer.close()


async def main():
    slow = asyncio.ensure_future(slow_headers())
    await pair_and_play()
    await refusals()
    await slow
    await idle_flood()


asyncio.run(main())
