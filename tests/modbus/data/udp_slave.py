"""A Modbus slave over UDP (MBAP framing) on 127.0.0.1, for the frame tests.

Prints its port once it serves and runs until it is killed. Holding registers
and coils count from 0 (zero_mode); there are 64 of each, a request beyond
them gets exception 2.
"""
import asyncio
import sys

from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext
from pymodbus.server import StartAsyncUdpServer


async def main():
    values = [int(v, 0) for v in sys.argv[1:]]
    registers = values + [0] * (64 - len(values))
    store = ModbusSlaveContext(
        di=ModbusSequentialDataBlock(0, [0] * 64),
        co=ModbusSequentialDataBlock(0, [0] * 64),
        hr=ModbusSequentialDataBlock(0, registers),
        ir=ModbusSequentialDataBlock(0, registers),
        zero_mode=True,
    )
    context = ModbusServerContext(slaves=store, single=True)
    server = await StartAsyncUdpServer(context=context, address=("127.0.0.1", 0), defer_start=True)
    serving = asyncio.create_task(server.serve_forever())  # kept: tasks are held weakly
    await server.serving
    print(server.protocol.get_extra_info("sockname")[1], flush=True)
    await asyncio.Event().wait()  # until killed


asyncio.run(main())
