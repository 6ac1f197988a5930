"""Test certificate authorities and server certificates, made with the
openssl command in a folder of the caller's, for HTTPS tests on 127.0.0.1.

    ca = CertificateAuthority(folder, "PelMatic Test CA")
    cert, key = ca.issue("server", ip="127.0.0.1")

Nothing here touches the machine's trust store: the tests decide who trusts
ca.cert (see ca_bundle_path for the file the program's libcurl reads).
"""

import os
import shutil
import subprocess
import tempfile

# Debian's libcurl reads this bundle unless told otherwise.
DEFAULT_CA_BUNDLE = "/etc/ssl/certs/ca-certificates.crt"


def openssl(*args, cwd=None):
    if not shutil.which("openssl"):
        raise RuntimeError("the openssl command is missing (apt-get install openssl)")
    p = subprocess.run(["openssl"] + list(args), cwd=cwd, capture_output=True)
    if p.returncode != 0:
        raise RuntimeError("openssl %s failed:\n%s"
                           % (" ".join(args), p.stderr.decode(errors="replace")))
    return p.stdout


def ca_bundle_path():
    """The CA bundle libcurl on this machine verifies servers against."""
    try:
        path = subprocess.run(["curl-config", "--ca"], capture_output=True,
                              text=True).stdout.strip()
    except FileNotFoundError:
        path = ""
    return path or DEFAULT_CA_BUNDLE


class CertificateAuthority:
    """A self-signed CA whose files live in folder, named after name."""

    def __init__(self, folder, name, days=2):
        self.folder = folder
        self.days = str(days)
        stem = os.path.join(folder, name.replace(" ", "_"))
        self.cert, self.key = stem + ".crt", stem + ".key"
        openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                "-nodes", "-keyout", self.key, "-out", self.cert, "-days", self.days,
                "-subj", "/CN=" + name,
                "-addext", "basicConstraints=critical,CA:TRUE",
                "-addext", "keyUsage=critical,keyCertSign,cRLSign")

    def issue(self, name, ip=None, dns=None):
        """A server certificate for ip and/or dns names; gives (cert, key) paths."""
        stem = os.path.join(self.folder, name)
        cert, key, request, extensions = stem + ".crt", stem + ".key", stem + ".csr", stem + ".ext"
        alt = ["IP:" + ip] if ip else []
        alt += ["DNS:" + d for d in (dns or [])]
        with open(extensions, "w") as f:
            f.write("basicConstraints=CA:FALSE\n"
                    "keyUsage=critical,digitalSignature\n"
                    "extendedKeyUsage=serverAuth\n"
                    "subjectAltName=%s\n" % ",".join(alt))
        openssl("req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                "-nodes", "-keyout", key, "-out", request, "-subj", "/CN=" + (ip or dns[0]))
        openssl("x509", "-req", "-in", request, "-CA", self.cert, "-CAkey", self.key,
                "-set_serial", str(int.from_bytes(os.urandom(8), "big")), "-days", self.days,
                "-extfile", extensions, "-out", cert)
        return cert, key


class TlsServers:
    """Three HTTPS test servers on 127.0.0.1 over one served folder: trusted
    (our test CA issued its certificate for the local address), stranger (a
    CA nobody trusts issued it) and misnamed (ours issued it for another host
    name). local: the names of the local certificates, as for issue().
    plain serves the same folder over http, for redirects between them."""

    def __init__(self, prefix, **local):
        from testserver import TestServer
        self.keys = tempfile.mkdtemp(prefix=prefix + "tls-")
        self.served = tempfile.mkdtemp(prefix=prefix + "served-")
        self.started = []

        def server(cert_and_key):
            self.started.append(TestServer(self.served, tls_cert=cert_and_key[0],
                                           tls_key=cert_and_key[1]))
            return self.started[-1]

        try:
            self.ours = CertificateAuthority(self.keys, "PelMatic Test CA")
            other = CertificateAuthority(self.keys, "Stranger CA")
            self.trusted = server(self.ours.issue("trusted", **local))
            self.stranger = server(other.issue("stranger", **local))
            self.misnamed = server(self.ours.issue("misnamed", dns=["updates.example.com"]))
            self.started.append(TestServer(self.served))
            self.plain = self.started[-1]
        except Exception:
            self.stop()
            raise

    def untrusted_cases(self):
        """(what, server, trusting) for each way a client must refuse a
        server: trusting says whether the client trusts our test CA."""
        return [
            ("the machine's trust store only", self.trusted, False),
            ("signed by another authority", self.stranger, True),
            ("issued for another name", self.misnamed, True),
        ]

    def reset(self):
        for server in self.started:
            server.set_faults({})
            server.clear_log()

    def stop(self):
        for server in self.started:
            server.stop()
        shutil.rmtree(self.served, ignore_errors=True)
        shutil.rmtree(self.keys, ignore_errors=True)
