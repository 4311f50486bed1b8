"""The test CA and the server certificate, made with the openssl tool."""

import contextlib
import fcntl
import os
import secrets
import shutil
import ssl
import subprocess
import tempfile

from .log import log

CA_CERT = "ca.pem"
CA_KEY = "ca.key"
SERVER_CERT = "server.pem"
SERVER_KEY = "server.key"
LOCK_FILE = ".lock"

CA_DAYS = 3650
SERVER_DAYS = 825
# Certificates this close to expiry are made anew.
RENEW_MARGIN_SECONDS = 2 * 24 * 3600


class CertError(Exception):
    pass


def _openssl(*args, cwd=None):
    try:
        result = subprocess.run(["openssl"] + list(args), cwd=cwd,
                                stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    except FileNotFoundError:
        raise CertError("the openssl command line tool is not installed")
    if result.returncode != 0:
        raise CertError("openssl %s failed: %s" % (
            args[0], result.stderr.decode("utf-8", "replace").strip()))
    return result.stdout


def _valid_for(cert_path, seconds):
    result = subprocess.run(
        ["openssl", "x509", "-in", cert_path, "-noout",
         "-checkend", str(int(seconds))],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL)
    return result.returncode == 0


def _ca_usable(state_dir):
    ca_cert = os.path.join(state_dir, CA_CERT)
    ca_key = os.path.join(state_dir, CA_KEY)
    if not (os.path.isfile(ca_cert) and os.path.isfile(ca_key)):
        return False
    # Leave enough life in the CA for a full-length server certificate.
    return _valid_for(ca_cert, RENEW_MARGIN_SECONDS)


def _server_usable(state_dir):
    ca_cert = os.path.join(state_dir, CA_CERT)
    cert = os.path.join(state_dir, SERVER_CERT)
    key = os.path.join(state_dir, SERVER_KEY)
    if not (os.path.isfile(cert) and os.path.isfile(key)):
        return False
    if not _valid_for(cert, RENEW_MARGIN_SECONDS):
        return False
    # The server certificate must still chain to the CA on disk (the CA may
    # have been made anew) and the key must belong to it.
    verify = subprocess.run(
        ["openssl", "verify", "-CAfile", ca_cert, "-purpose", "sslserver",
         cert], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL)
    if verify.returncode != 0:
        return False
    try:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
    except (ssl.SSLError, OSError):
        return False
    return True


def _write_ext(path, lines):
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


def _make_ca(work):
    _openssl("req", "-x509", "-new", "-newkey", "ec",
             "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-sha256",
             "-days", str(CA_DAYS), "-subj", "/O=Tessaly/CN=Tessaly Test CA",
             "-set_serial", "0x" + secrets.token_hex(8),
             "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign,cRLSign",
             "-addext", "subjectKeyIdentifier=hash",
             "-keyout", CA_KEY, "-out", CA_CERT, cwd=work)


def _make_server(work, ca_cert, ca_key):
    _openssl("req", "-new", "-newkey", "ec",
             "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-sha256",
             "-subj", "/O=Tessaly/CN=localhost",
             "-keyout", SERVER_KEY, "-out", "server.csr", cwd=work)
    # Only the DNS name: https://127.0.0.1 must fail host name checks.
    _write_ext(os.path.join(work, "server.ext"), [
        "basicConstraints=critical,CA:FALSE",
        "keyUsage=critical,digitalSignature",
        "extendedKeyUsage=serverAuth",
        "subjectAltName=DNS:localhost",
        "subjectKeyIdentifier=hash",
        "authorityKeyIdentifier=keyid,issuer",
    ])
    _openssl("x509", "-req", "-in", "server.csr", "-sha256",
             "-CA", ca_cert, "-CAkey", ca_key,
             "-set_serial", "0x" + secrets.token_hex(8),
             "-days", str(SERVER_DAYS), "-extfile", "server.ext",
             "-out", SERVER_CERT, cwd=work)


@contextlib.contextmanager
def _state_lock(state_dir):
    # Several test processes may start at once on one state directory; the
    # lock makes sure only one of them makes certificates and the others
    # then find them ready.
    fd = os.open(os.path.join(state_dir, LOCK_FILE), os.O_RDWR | os.O_CREAT,
                 0o600)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        yield
    finally:
        os.close(fd)


def ensure_certs(state_dir):
    """Make sure state_dir holds a usable CA and server certificate.

    Returns a dict with the absolute paths. Existing, still valid files are
    kept, so the CA that a build has compiled in stays the same.
    """
    state_dir = os.path.abspath(state_dir)
    os.makedirs(state_dir, mode=0o700, exist_ok=True)
    paths = {name: os.path.join(state_dir, name)
             for name in (CA_CERT, CA_KEY, SERVER_CERT, SERVER_KEY)}
    with _state_lock(state_dir):
        new_ca = not _ca_usable(state_dir)
        if new_ca or not _server_usable(state_dir):
            work = tempfile.mkdtemp(prefix=".make-", dir=state_dir)
            try:
                if new_ca:
                    _make_ca(work)
                    ca_cert = os.path.join(work, CA_CERT)
                    ca_key = os.path.join(work, CA_KEY)
                else:
                    ca_cert, ca_key = paths[CA_CERT], paths[CA_KEY]
                _make_server(work, ca_cert, ca_key)
                for name in (SERVER_KEY, CA_KEY):
                    if os.path.exists(os.path.join(work, name)):
                        os.chmod(os.path.join(work, name), 0o600)
                # Server files first, so that a reader that does not take the
                # lock never sees a new CA next to an unknown server key
                # for long; every file is replaced atomically.
                names = [SERVER_KEY, SERVER_CERT]
                if new_ca:
                    names += [CA_KEY, CA_CERT]
                for name in names:
                    os.replace(os.path.join(work, name), paths[name])
            finally:
                shutil.rmtree(work, ignore_errors=True)
            log("made %s in %s" % (
                "a new CA and server certificate" if new_ca
                else "a new server certificate", state_dir))
    return {
        "state_dir": state_dir,
        "ca": paths[CA_CERT],
        "ca_key": paths[CA_KEY],
        "cert": paths[SERVER_CERT],
        "key": paths[SERVER_KEY],
    }


