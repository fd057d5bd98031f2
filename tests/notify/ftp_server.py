"""A loopback FTP server for the upload tests.

usage: ftp_server.py PORT_FILE HOME USER PASSWORD
Binds an ephemeral port on 127.0.0.1, writes the port number to PORT_FILE once
it listens, and serves HOME to USER until killed. The user "reader" (same
password) may list and read but not write.
"""
import os
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    port_file, home, user, password = sys.argv[1:5]
    authorizer = DummyAuthorizer()
    authorizer.add_user(user, password, home, perm="elradfmw")
    authorizer.add_user("reader", password, home, perm="elr")
    handler = FTPHandler
    handler.authorizer = authorizer
    handler.auth_failed_timeout = 0
    server = FTPServer(("127.0.0.1", 0), handler)
    port = server.socket.getsockname()[1]
    tmp = port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write(str(port))
    os.rename(tmp, port_file)
    server.serve_forever(handle_exit=True)


if __name__ == "__main__":
    main()
