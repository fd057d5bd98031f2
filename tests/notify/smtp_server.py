"""A loopback SMTP server for the mail tests.

usage: smtp_server.py PORT_FILE OUT_DIR
Binds an ephemeral port on 127.0.0.1 and writes it to PORT_FILE once it
listens. Each accepted message is saved as OUT_DIR/NNN.eml (the DATA bytes as
received, dot-stuffing undone) with NNN.env beside it: the HELO name, the
sender and one line per recipient. Recipients beginning "reject" are refused.
"""
import asyncio
import os
import sys

from aiosmtpd.smtp import SMTP


class Handler:
    def __init__(self, out_dir):
        self.out_dir = out_dir
        self.count = 0

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.startswith("reject"):
            return "550 5.1.1 No such user here"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        base = os.path.join(self.out_dir, "%03d" % self.count)
        with open(base + ".env.tmp", "w") as f:
            f.write("%s\n%s\n" % (session.host_name, envelope.mail_from))
            for rcpt in envelope.rcpt_tos:
                f.write(rcpt + "\n")
        with open(base + ".eml.tmp", "wb") as f:
            f.write(envelope.original_content)
        os.rename(base + ".env.tmp", base + ".env")
        os.rename(base + ".eml.tmp", base + ".eml")
        return "250 Message accepted"


async def main():
    port_file, out_dir = sys.argv[1:3]
    handler = Handler(out_dir)
    loop = asyncio.get_running_loop()
    server = await loop.create_server(
        lambda: SMTP(handler, hostname="localhost", ident="test smtp"), "127.0.0.1", 0)
    port = server.sockets[0].getsockname()[1]
    with open(port_file + ".tmp", "w") as f:
        f.write(str(port))
    os.rename(port_file + ".tmp", port_file)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    asyncio.run(main())
