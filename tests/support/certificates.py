"""Test certificates for the local registration service, made with the openssl command line.

make_certificates(DIR, host) writes, into a directory the caller names (nothing here is
committed or put in the machine's trust store):

    ca.key  ca.pem          the test CA (RSA 2048, SHA-256, CA:TRUE, keyCertSign)
    ca.der                  the same CA certificate in DER form
    ca.sha1                 SHA-1 thumbprint of ca.der: 40 upper-case hex digits, no newline
    server.key  server.pem  server certificate signed by the test CA, valid from a day ago
                            for a year
    expired.key expired.pem server certificate signed by the test CA whose validity ended
                            30 days ago
    untrusted-ca.key  untrusted-ca.pem          a second CA that nobody trusts
    untrusted-server.key  untrusted-server.pem  server certificate signed by that CA
    certs.json              what was made: host, names, file names, thumbprint

Every server certificate carries the subjectAltName DNS:HOST, DNS:localhost, IP:127.0.0.1
and IP:::1, the serverAuth extended key usage, and digitalSignature plus keyEncipherment
(the RSA key exchange of TLS 1.0 suites needs the latter).

Leaf certificates are issued with `openssl ca`, because `openssl x509 -days` cannot put
notAfter in the past; the CAs are self-signed the same way so that their validity starts
well before every leaf's. A lock file makes concurrent callers on one directory wait for
each other, and certs.json is written last, so a directory with certs.json is complete.
A directory made for another host name, or whose server certificate expires within a day,
is made again.
"""
import datetime
import fcntl
import hashlib
import json
import os
import re
import shutil
import subprocess
import tempfile

DEFAULT_HOST = "register.example.com"
MANIFEST = "certs.json"

# One label: letters, digits and inner hyphens; the whole name is also spliced into an
# openssl configuration file, so nothing else may pass.
HOST_NAME = re.compile(r"^(?=.{1,253}$)[A-Za-z0-9](?:[A-Za-z0-9-]{0,61}[A-Za-z0-9])?"
                       r"(?:\.[A-Za-z0-9](?:[A-Za-z0-9-]{0,61}[A-Za-z0-9])?)*$")

VARIANT_FILES = {
    "normal": ("server.pem", "server.key"),
    "expired": ("expired.pem", "expired.key"),
    "untrusted": ("untrusted-server.pem", "untrusted-server.key"),
    # TLS 1.0/1.1 with the trusted certificate: only the protocol is wrong.
    "tls10": ("server.pem", "server.key"),
}

ORGANIZATION = "ostrel_ca tests"

# Relative paths only: the scratch directory is openssl's working directory, so odd
# characters in the caller's directory never reach the configuration parser.
OPENSSL_CONFIG = """\
[ req ]
distinguished_name = req_dn
prompt = no

[ req_dn ]
CN = placeholder

[ ca ]
default_ca = test_ca

[ test_ca ]
database = index.txt
# Serials are random (-rand_serial); openssl still wants the name looked up.
serial = serial.txt
new_certs_dir = .
default_md = sha256
policy = policy_any
preserve = yes
unique_subject = no
email_in_dn = no
copy_extensions = none

[ policy_any ]
organizationName = optional
commonName = supplied

[ ca_ext ]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign, digitalSignature
subjectKeyIdentifier = hash

[ server_ext ]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
subjectAltName = DNS:{host}, DNS:localhost, IP:127.0.0.1, IP:::1
"""


class CertificateError(Exception):
    """openssl failed, or the directory or host name cannot be used."""


def subject_alt_names(host):
    return [f"DNS:{host}", "DNS:localhost", "IP:127.0.0.1", "IP:::1"]


def _openssl(args, cwd):
    # openssl must not pick up a configuration of the caller's through OPENSSL_CONF.
    env = dict(os.environ)
    env.pop("OPENSSL_CONF", None)
    try:
        done = subprocess.run(["openssl"] + args, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
    except (OSError, subprocess.TimeoutExpired) as error:
        raise CertificateError(f"openssl {args[0]}: {error}") from error
    if done.returncode != 0:
        raise CertificateError(f"openssl {' '.join(args)} failed:\n"
                               f"{done.stderr.decode('utf-8', 'replace').strip()}")
    return done.stdout


def _utc_time(moment):
    # openssl ca's -startdate/-enddate take YYMMDDHHMMSSZ.
    return moment.strftime("%y%m%d%H%M%SZ")


def _issue(scratch, *, key, subject, extensions, not_before, not_after, out,
           ca_cert=None, ca_key=None):
    """Makes a key, a request and a certificate for it; self-signed when ca_cert is None."""
    _openssl(["genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048",
              "-out", key], scratch)
    request = out + ".csr"
    _openssl(["req", "-new", "-config", "openssl.cnf", "-key", key, "-sha256",
              "-subj", subject, "-out", request], scratch)
    command = ["ca", "-batch", "-notext", "-config", "openssl.cnf", "-rand_serial",
               "-extensions", extensions, "-startdate", _utc_time(not_before),
               "-enddate", _utc_time(not_after), "-in", request, "-out", out]
    if ca_cert is None:
        command += ["-selfsign", "-keyfile", key]
    else:
        command += ["-cert", ca_cert, "-keyfile", ca_key]
    _openssl(command, scratch)
    os.unlink(os.path.join(scratch, request))


def _make_all(directory, host):
    scratch = tempfile.mkdtemp(prefix=".openssl-", dir=directory)
    try:
        with open(os.path.join(scratch, "openssl.cnf"), "w", encoding="ascii") as config:
            config.write(OPENSSL_CONFIG.replace("{host}", host))
        open(os.path.join(scratch, "index.txt"), "w").close()

        now = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
        day = datetime.timedelta(days=1)
        ca_from, ca_to = now - 90 * day, now + 3650 * day
        for ca_name, common_name in (("ca", "ostrel_ca Test CA"),
                                     ("untrusted-ca", "ostrel_ca Untrusted Test CA")):
            _issue(scratch, key=f"{ca_name}.key", subject=f"/O={ORGANIZATION}/CN={common_name}",
                   extensions="ca_ext", not_before=ca_from, not_after=ca_to,
                   out=f"{ca_name}.pem")
        leaf_subject = f"/O={ORGANIZATION}/CN={host}"
        leaves = (("server", "ca", now - day, now + 365 * day),
                  ("expired", "ca", now - 60 * day, now - 30 * day),
                  ("untrusted-server", "untrusted-ca", now - day, now + 365 * day))
        for leaf, ca_name, valid_from, valid_to in leaves:
            _issue(scratch, key=f"{leaf}.key", subject=leaf_subject, extensions="server_ext",
                   not_before=valid_from, not_after=valid_to, out=f"{leaf}.pem",
                   ca_cert=f"{ca_name}.pem", ca_key=f"{ca_name}.key")

        der = _openssl(["x509", "-in", "ca.pem", "-outform", "DER"], scratch)
        with open(os.path.join(scratch, "ca.der"), "wb") as out:
            out.write(der)
        thumbprint = hashlib.sha1(der).hexdigest().upper()
        with open(os.path.join(scratch, "ca.sha1"), "w", encoding="ascii") as out:
            out.write(thumbprint)

        made = ["ca.key", "ca.pem", "ca.der", "ca.sha1", "untrusted-ca.key",
                "untrusted-ca.pem"] + [f"{leaf}.{ext}" for leaf, *_ in leaves
                                       for ext in ("key", "pem")]
        for name in made:
            if name.endswith(".key"):
                os.chmod(os.path.join(scratch, name), 0o600)
            os.replace(os.path.join(scratch, name), os.path.join(directory, name))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)

    manifest = {
        "host": host,
        "names": subject_alt_names(host),
        "ca_cert": "ca.pem",
        "ca_key": "ca.key",
        "ca_der": "ca.der",
        "ca_sha1": thumbprint,
        "untrusted_ca_cert": "untrusted-ca.pem",
        "variants": {name: {"cert": cert, "key": key}
                     for name, (cert, key) in VARIANT_FILES.items()},
    }
    temporary = os.path.join(directory, MANIFEST + ".tmp")
    with open(temporary, "w", encoding="utf-8") as out:
        json.dump(manifest, out, indent=2)
        out.write("\n")
    os.replace(temporary, os.path.join(directory, MANIFEST))
    return manifest


def _usable(directory, manifest, host):
    if host is not None and manifest.get("host") != host:
        return False
    files = ["ca.pem", "ca.der", "ca.sha1", "untrusted-ca.pem"]
    files += [name for pair in VARIANT_FILES.values() for name in pair]
    if not all(os.path.isfile(os.path.join(directory, name)) for name in files):
        return False
    # Remade a day before the server certificate runs out, so a long-lived directory
    # never turns the normal variant into an expired one.
    try:
        _openssl(["x509", "-in", "server.pem", "-noout", "-checkend", "86400"], directory)
    except CertificateError:
        return False
    return True


def load_manifest(directory):
    try:
        with open(os.path.join(directory, MANIFEST), encoding="utf-8") as source:
            return json.load(source)
    except (OSError, ValueError):
        return None


def make_certificates(directory, host=None):
    """Makes the certificates in directory unless a usable set is there already.

    host None keeps whatever host the directory was made for (DEFAULT_HOST for a new
    one). Returns the manifest (see certs.json above) with absolute paths added under
    "dir". Raises CertificateError.
    """
    if host is not None and not HOST_NAME.match(host):
        raise CertificateError(f"not a host name: {host!r}")
    try:
        os.makedirs(directory, exist_ok=True)
    except OSError as error:
        raise CertificateError(f"cannot make {directory}: {error}") from error
    directory = os.path.abspath(directory)
    with open(os.path.join(directory, ".lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        manifest = load_manifest(directory)
        if manifest is None or not _usable(directory, manifest, host):
            manifest = _make_all(directory, host or (manifest or {}).get("host")
                                 or DEFAULT_HOST)
    manifest["dir"] = directory
    return manifest
