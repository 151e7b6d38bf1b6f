#!/usr/bin/python3
"""Prints a Corvane server's status through the call service of the server
administration control (its Call method): the server's name, version and
uptime, its volume's space, and for each module named on the command line
whether it is loaded and, if its last load failed, why.

    server_status.py SERVER [MODULE ...]     (MODULE defaults to APACHE2)

The server must run the call service module ("CvSrvA Remote Function
Calls"). Exit status: 0 printed, 1 the control raised an error (printed with
its code) or the service answered with an ERROR."""

import argparse
import sys

import cvole

CONTROL = "CvSrvAdmLib.CvServerAdminCtrl.1"


def prop(obj, name, default=None):
    """A property of a result object, or default when the reply has none."""
    try:
        return getattr(obj, name)
    except (AttributeError, cvole.ComError):
        return default


def error_of(result):
    """The service's ERROR object as 'CODE: TEXT', or None."""
    error = prop(result, "ERROR")
    if error is None:
        return None
    return f"{prop(error, 'CODE')}: {prop(error, 'TEXT')}"


def duration(seconds):
    days, rest = divmod(int(seconds), 86400)
    hours, rest = divmod(rest, 3600)
    minutes, seconds = divmod(rest, 60)
    return (f"{days}d " if days else "") + f"{hours:02}:{minutes:02}:{seconds:02}"


def main(argv=None):
    parser = argparse.ArgumentParser(description="Print a Corvane server's status through the call service.")
    parser.add_argument("server", help="the server's name, as in client.ini")
    parser.add_argument("modules", nargs="*", default=["APACHE2"], help="modules to report on")
    args = parser.parse_args(argv)
    try:
        ctl = cvole.Dispatch(CONTROL)
        ctl.FullName = "\\\\" + args.server
        info = ctl.Call("SERVER.INFO")
        if error_of(info):
            print(f"server_status.py: {args.server}: {error_of(info)}", file=sys.stderr)
            return 1
        print(f"Server   {info.NAME} (version {info.VERSION}), up {duration(info.UPTIME)}, "
              f"{info.MODULES} module(s) loaded")
        space = ctl.Call("VOLUME.SPACE")
        if not error_of(space):
            print(f"Volume   {space.FREE} MB free of {space.TOTAL} MB")
        for name in args.modules:
            status = ctl.Call("MODULE.STATUS", name)
            if error_of(status):
                print(f"server_status.py: {name}: {error_of(status)}", file=sys.stderr)
                return 1
            if status.LOADED:
                line = f"running, process {status.PID}, up {duration(status.UPTIME)}"
            else:
                line = "not loaded"
            reason = prop(status, "REASON")
            if reason:
                line += f"; last failure: {reason}"
            print(f"{status.NAME:<8} {line}")
    except cvole.ComError as e:
        print(f"server_status.py: {args.server}: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
