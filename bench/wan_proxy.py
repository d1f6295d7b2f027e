#!/usr/bin/env python3
"""A TCP proxy on 127.0.0.1 for benchmarks: every chunk is held DELAY_MS in
each direction before it is passed on, as over a wide-area link (a round
trip of twice DELAY_MS), with no limit on bandwidth. Order is kept.

    wan_proxy.py TARGET_PORT DELAY_MS SECONDS

It listens on a free port of 127.0.0.1, prints that port on standard output,
forwards every connection to 127.0.0.1:TARGET_PORT, and ends by itself after
SECONDS (or when killed)."""

import asyncio
import sys


async def carry(reader, writer, delay):
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue()

    async def deliver():
        while True:
            due, data = await queue.get()
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            if not data:
                try:
                    writer.write_eof()
                except OSError:
                    pass
                return
            writer.write(data)
            try:
                await writer.drain()
            except OSError:
                return

    task = asyncio.create_task(deliver())
    while True:
        try:
            data = await reader.read(65536)
        except OSError:
            data = b""
        queue.put_nowait((loop.time() + delay, data))
        if not data:
            break
    await task


async def handle(client_reader, client_writer, target, delay):
    try:
        server_reader, server_writer = await asyncio.open_connection("127.0.0.1", target)
    except OSError:
        client_writer.close()
        return
    await asyncio.gather(carry(client_reader, server_writer, delay), carry(server_reader, client_writer, delay))
    for w in (client_writer, server_writer):
        w.close()


async def main():
    target, delay, seconds = int(sys.argv[1]), float(sys.argv[2]) / 1000.0, float(sys.argv[3])
    server = await asyncio.start_server(lambda r, w: handle(r, w, target, delay), "127.0.0.1", 0)
    print(server.sockets[0].getsockname()[1], flush=True)
    async with server:
        await asyncio.sleep(seconds)


if __name__ == "__main__":
    asyncio.run(main())
