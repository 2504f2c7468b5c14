#!/usr/bin/env python3
"""Prints every change of the live kelto table, with a timestamp.

    monitor.py [NAME ...]          watch these variables (default: all)
    monitor.py --segment NAME ...  another segment than $KELTO_SEGMENT

Waits for a program to hold the table, and for the next one after it goes.
Ctrl-C ends it.
"""

import argparse
import datetime
import sys

import kelto


def stamp():
    return datetime.datetime.now().strftime("%H:%M:%S.%f")[:-3]


def monitor(segment, names):
    while True:
        with kelto.attach(segment, timeout=None) as table:
            print(f"{stamp()}  table '{table.segment}' is live: {table.snapshot()}", flush=True)
            try:
                for changes in table.watch(names or None):
                    for name, value in changes.items():
                        print(f"{stamp()}  {name} = {value!r}", flush=True)
            except kelto.NoLiveTable:
                print(f"{stamp()}  the table went away; waiting for the next one", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("names", nargs="*", help="full names, e.g. IORSH_SPEED")
    parser.add_argument("--segment", help="segment name (default: $KELTO_SEGMENT)")
    options = parser.parse_args()
    try:
        monitor(options.segment, options.names)
    except KeyboardInterrupt:
        return 0
    except KeyError as error:
        sys.exit(f"monitor.py: no variable {error}")


if __name__ == "__main__":
    sys.exit(main())
