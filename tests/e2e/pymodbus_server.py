"""A Modbus RTU slave from pymodbus, for interoperability tests of the bench.

Serves holding registers 0..N-1 from the values given on the command line on
a serial port (one end of a socat pseudo-terminal pair), and prints "ready"
once the port is open.

usage: pymodbus_server.py PORT SLAVE VALUE [VALUE ...]
"""
import asyncio
import sys

from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,
                                ModbusSlaveContext)
from pymodbus.server import StartAsyncSerialServer
from pymodbus.transaction import ModbusRtuFramer


async def serve(port, slave, values):
    # zero_mode: request address 0 reads the block's first value.
    store = ModbusSlaveContext(hr=ModbusSequentialDataBlock(0, values), zero_mode=True)
    context = ModbusServerContext(slaves={slave: store}, single=False)
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
