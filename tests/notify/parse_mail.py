"""Parses a saved message with Python's email package for the mail tests.

usage: parse_mail.py MESSAGE OUT_DIR
Writes into OUT_DIR: headers.txt (one "Name: value" line per top-level
header, as the parser returns them), body.txt (the text part, LF line ends),
parts.txt (the number of MIME parts below the top), defects.txt (one defect
class name per line, over all parts) and, when there is an attachment,
attach.bin (its decoded bytes), attach_name.txt and attach_type.txt.
"""
import email
import email.policy
import os
import sys


def main():
    path, out = sys.argv[1:3]
    with open(path, "rb") as f:
        msg = email.message_from_binary_file(f, policy=email.policy.compat32)

    def write(name, data):
        mode = "wb" if isinstance(data, bytes) else "w"
        with open(os.path.join(out, name), mode) as f:
            f.write(data)

    write("headers.txt", "".join("%s: %s\n" % (k, v) for k, v in msg.items()))
    parts = msg.get_payload() if msg.is_multipart() else []
    write("parts.txt", str(len(parts)))
    for part in parts:
        if part.get_filename() is not None:
            write("attach.bin", part.get_payload(decode=True))
            write("attach_name.txt", part.get_filename())
            write("attach_type.txt", part.get_content_type())
        elif part.get_content_type() == "text/plain":
            body = part.get_payload(decode=True).decode("ascii")
            write("body.txt", body.replace("\r\n", "\n"))
    # Decoding registers its own defects (bad base64 padding, say), so these
    # are gathered last.
    defects = [type(d).__name__ for part in msg.walk() for d in part.defects]
    write("defects.txt", "".join(d + "\n" for d in defects))


if __name__ == "__main__":
    main()
