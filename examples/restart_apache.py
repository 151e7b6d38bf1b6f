#!/usr/bin/python3
"""Restarts Apache on a Corvane server through its QRX module, as the
console's Apache > Restart Apache does for a server with the QRX handle:
bind the server administration control to \\\\SERVER, unload Apache, load it
again, and print the outcome.

    restart_apache.py SERVER [--apache 2.0|1.3]

Exit status: 0 restarted, 1 the server refused (Apache was not running, or
would not start again), 2 the control raised an error (unknown server, no
connection, ...), which is printed with its code."""

import argparse
import sys

import cvole

CONTROL = "CvSrvAdmLib.CvServerAdminCtrl.1"
# Apache version: (module to load, name to unload)
MODULES = {"1.3": ("apache.qrx", "apache.qrx"), "2.0": ("apache2.qrx", "apache2 shutdown")}


def main(argv=None):
    parser = argparse.ArgumentParser(description="Restart Apache on a Corvane server through its QRX module.")
    parser.add_argument("server", help="the server's name, as in client.ini")
    parser.add_argument("--apache", choices=sorted(MODULES), default="2.0", help="the Apache version (default 2.0)")
    args = parser.parse_args(argv)
    load, unload = MODULES[args.apache]
    try:
        ctl = cvole.Dispatch(CONTROL)
        ctl.FullName = "\\\\" + args.server
        restarted = ctl.UnloadQRX(unload) and ctl.LoadQRX(load, "")
    except cvole.ComError as e:
        print(f"restart_apache.py: {args.server}: {e}", file=sys.stderr)
        return 2
    if restarted:
        print(f"Apache was successfully restarted on {args.server}.")
        return 0
    print(f"An error occurred while restarting Apache on {args.server}.")
    return 1


if __name__ == "__main__":
    sys.exit(main())
