"""A vendor's signing key for the tests, made and used with the openssl
command as a vendor would: `openssl dgst -sha256 -sign` over the manifest
without its signature line, the DER result turned into r and s."""

import hashlib
import os
import subprocess


def openssl(*args, data=None):
    return subprocess.run(["openssl"] + list(args), input=data, capture_output=True,
                          check=True).stdout


def der_to_rs(der):
    """r and s of a DER ECDSA signature, 32 bytes each."""
    assert der[0] == 0x30
    at = 2 if der[1] < 0x80 else 3
    numbers = []
    while at < len(der):
        assert der[at] == 0x02
        length = der[at + 1]
        numbers.append(int.from_bytes(der[at + 2:at + 2 + length], "big"))
        at += 2 + length
    return b"".join(n.to_bytes(32, "big") for n in numbers)


def rs_to_der(rs):
    """The DER form openssl takes of a signature given as r and s."""
    def integer(n):
        body = n.lstrip(b"\0") or b"\0"
        if body[0] & 0x80:
            body = b"\0" + body
        return b"\x02" + bytes([len(body)]) + body
    body = integer(rs[:32]) + integer(rs[32:])
    return b"\x30" + bytes([len(body)]) + body


class Signer:
    """A P-256 key in folder; pub_key is its line for pelmatic.ini."""

    def __init__(self, folder, name="vendor"):
        self.key = os.path.join(folder, name + ".pem")
        openssl("ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", self.key)
        public = openssl("ec", "-in", self.key, "-pubout", "-outform", "DER")
        self.pub_key = public[-64:].hex()

    def signature(self, text):
        return der_to_rs(openssl("dgst", "-sha256", "-sign", self.key, data=text)).hex().encode()

    def sign(self, text):
        """text with its signature line."""
        return text + b"sig=" + self.signature(text) + b"\r\n"


def file_keys(data, alt=False):
    """The manifest lines that bind an update file."""
    suffix = b"alt" if alt else b""
    return (b"sha256" + suffix + b"=" + hashlib.sha256(data).hexdigest().encode() + b"\r\n" +
            b"size" + suffix + b"=" + str(len(data)).encode() + b"\r\n")
