#!/usr/bin/env python3
"""A minimal NMEA broadcaster, the yardstick of compare-broadcast.py.

    asyncio_broadcaster.py DEVICE PORT

Reads lines from a serial device (a pseudo-terminal) and writes every complete line to every
connected client with asyncio's stream writers: the obvious way to write it, nothing tuned.
"""

import asyncio
import os
import resource
import sys
import termios
import tty


async def main(device: str, port: int) -> None:
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    writers: set[asyncio.StreamWriter] = set()

    async def serve(reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        writers.add(writer)
        try:
            while await reader.read(4096):
                pass  # clients only listen; whatever they send is dropped
        except (ConnectionError, OSError):
            pass
        finally:
            writers.discard(writer)
            writer.close()

    fd = os.open(device, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    tty.setraw(fd, termios.TCSANOW)
    pending = bytearray()

    def readable() -> None:
        nonlocal pending
        try:
            pending += os.read(fd, 65536)
        except BlockingIOError:
            return
        end = pending.rfind(b"\n")
        if end < 0:
            return
        data = bytes(pending[: end + 1])
        del pending[: end + 1]
        for writer in list(writers):
            writer.write(data)

    loop = asyncio.get_running_loop()
    loop.add_reader(fd, readable)
    server = await asyncio.start_server(serve, "127.0.0.1", port, backlog=1024)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    asyncio.run(main(sys.argv[1], int(sys.argv[2])))
