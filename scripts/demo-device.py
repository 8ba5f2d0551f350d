"""A simulated boiler for the korvex demo: a Modbus TCP slave (unit 1) on
127.0.0.1 whose registers change over time.

Prints its port once it serves, then runs until it is killed. Holding
registers, counted from 0:
  0     temperature in tenths of a degree; drifts towards the setpoint
  1     setpoint in whole degrees (writable: korvex writes it on command)
  2     state bits: bit 0 the pump runs (heating), bit 1 alarm (above 28.0)
  3, 4  energy counter, 32 bits, high word first; grows while the pump runs
"""
import asyncio
import math
import sys
import time

from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext
from pymodbus.server import StartAsyncTcpServer

HOLDING = 3  # function code that addresses the holding registers


async def simulate(store):
    temperature = 200
    energy = 0
    started = time.monotonic()
    while True:
        setpoint = store.getValues(HOLDING, 1, 1)[0] * 10
        pump = temperature < setpoint
        # Heats while the pump runs, cools otherwise; a slow wobble on top.
        temperature += 3 if pump else -2
        wobble = round(2 * math.sin((time.monotonic() - started) / 5))
        shown = max(0, temperature + wobble)
        energy = (energy + (7 if pump else 0)) & 0xFFFFFFFF
        state = (1 if pump else 0) | (2 if shown > 280 else 0)
        store.setValues(HOLDING, 0, [shown])
        store.setValues(HOLDING, 2, [state, energy >> 16, energy & 0xFFFF])
        await asyncio.sleep(1)


async def main():
    port = int(sys.argv[1]) if len(sys.argv) > 1 else 0
    registers = [200, 22, 0, 0, 0] + [0] * 59
    store = ModbusSlaveContext(
        di=ModbusSequentialDataBlock(0, [0] * 64),
        co=ModbusSequentialDataBlock(0, [0] * 64),
        hr=ModbusSequentialDataBlock(0, registers),
        ir=ModbusSequentialDataBlock(0, [0] * 64),
        zero_mode=True,
    )
    context = ModbusServerContext(slaves=store, single=True)
    server = await StartAsyncTcpServer(context=context, address=("127.0.0.1", port), defer_start=True)
    serving = asyncio.create_task(server.serve_forever())  # kept: tasks are held weakly
    await server.serving
    print(server.server.sockets[0].getsockname()[1], flush=True)
    await simulate(store)
    await serving


asyncio.run(main())
