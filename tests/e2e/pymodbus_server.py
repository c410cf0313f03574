"""A Modbus RTU slave from pymodbus, for interoperability tests of the bench.

Serves holding registers 0..N-1 from the values given on the command line on
a serial port (one end of a socat pseudo-terminal pair), or with PORT "tcp" as
Modbus TCP on a free loopback port. Prints "ready" (and the TCP port) once it
serves.

usage: pymodbus_server.py PORT|tcp SLAVE VALUE [VALUE ...]
"""
import asyncio
import sys

from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,
                                ModbusSlaveContext)
from pymodbus.server import StartAsyncSerialServer, StartAsyncTcpServer
from pymodbus.transaction import ModbusRtuFramer


async def serve(port, slave, values):
    # zero_mode: request address 0 reads the block's first value.
    store = ModbusSlaveContext(hr=ModbusSequentialDataBlock(0, values), zero_mode=True)
    context = ModbusServerContext(slaves={slave: store}, single=False)
    if port == "tcp":
        server = await StartAsyncTcpServer(context=context, address=("127.0.0.1", 0),
                                           defer_start=True)
        task = asyncio.create_task(server.serve_forever())
        await server.serving
        print("ready", server.server.sockets[0].getsockname()[1], flush=True)
        await task
        return
    server = await StartAsyncSerialServer(context=context, framer=ModbusRtuFramer, port=port,
                                          baudrate=9600, defer_start=True)
    await server.start()
    print("ready", flush=True)
    await server.serve_forever()


def main():
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    values = [int(v) for v in sys.argv[3:]]
    asyncio.run(serve(sys.argv[1], int(sys.argv[2]), values))


if __name__ == "__main__":
    main()
