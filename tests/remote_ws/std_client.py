# A standard RFC 6455 client against the unit's server: subprotocol "chat", the password as a (masked)
# text frame, status frames in, an "ST" command out, a ping answered, a clean close.
import asyncio
import sys

import websockets


async def main(port, password):
    async with websockets.connect(f"ws://127.0.0.1:{port}/chat", subprotocols=["chat"],
                                  ping_interval=None, compression=None) as ws:
        print("subprotocol", ws.subprotocol)
        await ws.send(password)
        statuses = 0
        while statuses < 3:
            msg = await asyncio.wait_for(ws.recv(), 5)
            if isinstance(msg, bytes) and msg[:2] == b"ST":
                statuses += 1
                last = msg
        print("status frames", statuses, len(last) - 2)
        await ws.send(b"STTIRMBANK")
        pong = await ws.ping(b"hello")
        await asyncio.wait_for(pong, 5)
        print("pong")
    print("closed", ws.close_code)


asyncio.run(main(int(sys.argv[1]), sys.argv[2]))
