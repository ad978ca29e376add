"""A tour of olvex_core: import (the banner goes to standard error), the
public names, and a publish/subscribe exchange between a thread blocked in
recv() and an asyncio task awaiting recv_async()."""
import asyncio
import threading

import olvex_core


def main():
    print("olvex_core exports:", ", ".join(olvex_core.__all__))

    hub = olvex_core.SignalHub()
    blocking_rx = hub.subscribe()
    async_rx = hub.subscribe()
    received = []

    def worker():
        # recv() releases the interpreter lock while it waits.
        while True:
            try:
                msg = blocking_rx.recv()
            except StopAsyncIteration:
                received.append("thread: channel closed")
                return
            received.append(f"thread got {msg!r}")

    thread = threading.Thread(target=worker)
    thread.start()

    async def consumer():
        for _ in range(3):
            msg = await asyncio.wait_for(async_rx.recv_async(), timeout=5.0)
            received.append(f"task got {msg!r}")

    async def run():
        task = asyncio.create_task(consumer())
        await asyncio.sleep(0.01)
        for text in ("state advanced to v2", "state advanced to v3", "done"):
            n = hub.publish(text)
            print(f"published {text!r} to {n} receivers")
            await asyncio.sleep(0.01)
        await task

    asyncio.run(run())
    del hub  # the last sender goes: receivers see the channel close
    thread.join(timeout=5)
    # Each consumer's lines in arrival order; the two run concurrently.
    for who in ("thread", "task"):
        for line in received:
            if line.startswith(who):
                print(line)


if __name__ == "__main__":
    main()
