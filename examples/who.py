#!/usr/bin/python3
"""Lists the connections of a Corvane server: its connection number, the
short name of who is logged in, when, and from which address, one line each,
through the server administration control's ActiveConnections collection.

    who.py SERVER

Exit status: 0 listed, 1 the control raised an error, which is printed with
its code."""

import argparse
import datetime
import sys

import cvole

CONTROL = "CvSrvAdmLib.CvServerAdminCtrl.1"


def when(value):
    return value.strftime("%Y-%m-%d %H:%M:%S") if isinstance(value, datetime.datetime) else "-"


def main(argv=None):
    parser = argparse.ArgumentParser(description="List the connections of a Corvane server.")
    parser.add_argument("server", help="the server's name, as in client.ini")
    args = parser.parse_args(argv)
    try:
        ctl = cvole.Dispatch(CONTROL)
        ctl.FullName = "\\\\" + args.server
        rows = [(c.ConnectionNumber, c.ShortName, c.LoginTime, c.NetworkAddress) for c in ctl.ActiveConnections]
    except cvole.ComError as e:
        print(f"who.py: {args.server}: {e}", file=sys.stderr)
        return 1
    print(f"{'Conn':>5}  {'User':<24} {'Login time':<19}  Address")
    for number, name, login, address in rows:
        print(f"{number:>5}  {name:<24} {when(login):<19}  {address or '-'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
