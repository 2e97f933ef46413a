#!/usr/bin/env python3
"""A TLS server on a free loopback port that reports the ALPN protocol each
client offered and then closes the connection.

Prints "port N" once listening, then one line per handshake: "alpn NAME"
when the client offered the protocol given with --alpn, "alpn -" when it
offered none of it, or "handshake failed: REASON". Runs until killed.
"""
import argparse
import socket
import ssl
import sys


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--alpn", required=True)
    args = parser.parse_args()

    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)
    # The protocol is selected only when the client offers it.
    context.set_alpn_protocols([args.alpn])

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    print("port %d" % listener.getsockname()[1], flush=True)
    while True:
        conn, _ = listener.accept()
        conn.settimeout(10)
        try:
            with context.wrap_socket(conn, server_side=True) as tls:
                print("alpn %s" % (tls.selected_alpn_protocol() or "-"), flush=True)
        except (ssl.SSLError, OSError) as e:
            print("handshake failed: %s" % e, flush=True)
            conn.close()


if __name__ == "__main__":
    sys.exit(main())
