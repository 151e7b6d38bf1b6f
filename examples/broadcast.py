#!/usr/bin/python3
"""Sends a message to every connection of a Corvane server, through the
server administration control's ActiveConnections collection (SendBroadCast
sends to the connections it lists, 62 to a request).

    broadcast.py SERVER MESSAGE...

The words of MESSAGE are joined with blanks. Sending needs a login with
console operator rights. Exit status: 0 sent, 1 the control raised an error,
which is printed with its code."""

import argparse
import sys

import cvole

CONTROL = "CvSrvAdmLib.CvServerAdminCtrl.1"


def main(argv=None):
    parser = argparse.ArgumentParser(description="Send a message to every connection of a Corvane server.")
    parser.add_argument("server", help="the server's name, as in client.ini")
    parser.add_argument("message", nargs="+", help="the text to send")
    args = parser.parse_args(argv)
    text = " ".join(args.message)
    try:
        ctl = cvole.Dispatch(CONTROL)
        ctl.FullName = "\\\\" + args.server
        connections = ctl.ActiveConnections
        count = connections.Count
        connections.SendBroadCast(text)
    except cvole.ComError as e:
        print(f"broadcast.py: {args.server}: {e}", file=sys.stderr)
        return 1
    print(f"Sent to {count} connection{'' if count == 1 else 's'} of {args.server}.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
