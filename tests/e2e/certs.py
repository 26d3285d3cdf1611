"""Certificates for the end-to-end suite, made with openssl: a CA with a server certificate for
127.0.0.1/localhost and an operator's client certificate, and a foreign CA with a client
certificate of its own (same common name) that the daemon must not trust."""
import os
import subprocess
from dataclasses import dataclass

import pytest


def _openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.PIPE)


def make_ca(directory, name, cn):
    _openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
             "-sha256", "-days", "30", "-subj", f"/O=queltd tests/CN={cn}",
             "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign,cRLSign",
             "-keyout", f"{name}.key", "-out", f"{name}.crt", cwd=directory)
    return os.path.join(directory, f"{name}.crt"), os.path.join(directory, f"{name}.key")


def issue(directory, ca, name, cn, extensions):
    _openssl("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-sha256",
             "-subj", f"/O=queltd tests/CN={cn}", "-keyout", f"{name}.key", "-out", f"{name}.csr",
             cwd=directory)
    with open(os.path.join(directory, f"{name}.ext"), "w") as f:
        f.write(extensions)
    _openssl("x509", "-req", "-in", f"{name}.csr", "-CA", f"{ca}.crt", "-CAkey", f"{ca}.key",
             "-CAcreateserial", "-sha256", "-days", "30", "-extfile", f"{name}.ext",
             "-out", f"{name}.crt", cwd=directory)
    return os.path.join(directory, f"{name}.crt"), os.path.join(directory, f"{name}.key")


CLIENT_EXT = "basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=clientAuth\n"
SERVER_EXT = ("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
              "extendedKeyUsage=serverAuth\nsubjectAltName=IP:127.0.0.1,DNS:localhost\n")


@dataclass
class Pki:
    ca: str
    server_crt: str
    server_key: str
    client: tuple          # (crt, key) signed by ca, CN queltd-operator
    other_client: tuple    # (crt, key) signed by ca, CN someone-else
    foreign_ca: str
    foreign_client: tuple  # (crt, key) signed by foreign_ca, CN queltd-operator


def make_pki(directory):
    os.makedirs(directory, exist_ok=True)
    ca, _ = make_ca(directory, "ca", "queltd test CA")
    server_crt, server_key = issue(directory, "ca", "server", "localhost", SERVER_EXT)
    client = issue(directory, "ca", "client", "queltd-operator", CLIENT_EXT)
    other = issue(directory, "ca", "other", "someone-else", CLIENT_EXT)
    foreign_ca, _ = make_ca(directory, "foreign", "foreign CA")
    foreign_client = issue(directory, "foreign", "foreign-client", "queltd-operator", CLIENT_EXT)
    return Pki(ca, server_crt, server_key, client, other, foreign_ca, foreign_client)


@pytest.fixture(scope="session")
def pki(tmp_path_factory):
    return make_pki(str(tmp_path_factory.mktemp("pki")))
