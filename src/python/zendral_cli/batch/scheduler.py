"""Checks a --scheduler address before distributed tries it. Given a closed
port, a server that is not a scheduler or a plain scheduler named tls://,
distributed waits out its 30 s connect timeout or takes a banner's bytes for
a frame length ("out of memory"); given an address it cannot parse, or tls://
without TLS settings, it fails with a raw exception. Here each fails at
once, in one line."""
import socket
import struct

from . import Failure

LOOPBACK = "127.0.0.1"
SCHEMES = ("tcp", "tls", "ws", "wss", "ucx", "inproc")
TLS_SCHEMES = ("tls", "wss")
LISTENING = ("tcp", "tls", "ws", "wss")  # on a TCP port that can be tried first
# What a Dask scheduler sends first on tcp://: its handshake, one message
# whose 8-byte length comes before it (the frames' total size, in native byte
# order).
HANDSHAKE_LIMIT = 1 << 24
PROBE_SECONDS = 2.0


def split(address):
    """(scheme, host, port), as distributed reads the address."""
    scheme, separator, rest = address.partition("://")
    scheme, rest = (scheme.lower(), rest) if separator else ("tcp", address)
    if scheme not in SCHEMES:
        raise Failure("%s: unknown scheme %s:// (Dask's are %s)"
                      % (address, scheme, ", ".join(name + "://" for name in SCHEMES)))
    if scheme == "inproc":
        raise Failure("%s: an inproc:// scheduler is reachable only from its own process; "
                      "give its tcp://, tls://, ws:// or wss:// address" % address)
    host, colon, port = rest.rpartition(":")
    if not colon:
        raise Failure("%s: no port (%s://HOST:PORT)" % (address, scheme))
    try:
        port = int(port.split("/")[0])
    except ValueError:
        raise Failure("%s: %r is not a port number" % (address, port))
    if not 0 < port < 65536:
        raise Failure("%s: port %d is out of range (1 to 65535)" % (address, port))
    return scheme, host.strip("[]") or LOOPBACK, port


def check_tls_settings(address, scheme):
    """tls:// and wss:// need the TLS settings of the user's Dask
    configuration (distributed.comm.tls.*), as distributed reads them."""
    if scheme not in TLS_SCHEMES:
        return
    from distributed.security import Security
    try:
        context = Security().get_connection_args("client").get("ssl_context")
    except (OSError, ValueError) as error:  # a missing or unreadable file
        raise Failure("%s: the TLS settings of your Dask configuration cannot be used: %s"
                      % (address, getattr(error, "strerror", None) or error))
    if context is None:
        raise Failure("%s: a %s:// scheduler needs the TLS settings of your Dask configuration "
                      "(distributed.comm.tls.ca-file, .client.cert and .client.key)"
                      % (address, scheme))


def check_ucx(address, scheme):
    if scheme == "ucx":
        import importlib.util
        if importlib.util.find_spec("ucp") is None:
            raise Failure("%s: ucx:// needs the ucx-py package (ucp), which cannot be imported"
                          % address)


def probe(address, scheme, host, port):
    """Connects once: a closed port fails at once; on tcp://, so does a
    server that does not send a scheduler's handshake."""
    try:
        connection = socket.create_connection((host, port), timeout=PROBE_SECONDS)
    except socket.timeout:
        raise Failure("cannot reach the Dask scheduler at %s: no answer in %g s"
                      % (address, PROBE_SECONDS))
    except OSError as error:
        raise Failure("cannot reach the Dask scheduler at %s: %s"
                      % (address, error.strerror or error))
    with connection:
        if scheme != "tcp":
            return  # its first bytes are TLS's or HTTP's, and the client's to send
        head = b""
        try:
            while len(head) < 8:
                chunk = connection.recv(8 - len(head))
                if not chunk:
                    break
                head += chunk
        except socket.timeout:
            raise Failure("%s: no Dask handshake in %g s (a scheduler that speaks TLS is "
                          "tls://)" % (address, PROBE_SECONDS))
        except OSError:
            pass
    if len(head) < 8 or struct.unpack("Q", head)[0] > HANDSHAKE_LIMIT:
        raise Failure("%s is not a Dask scheduler" % address)


def check(address):
    """Fails, in one line, for an address no scheduler can answer at."""
    scheme, host, port = split(address)
    check_tls_settings(address, scheme)
    check_ucx(address, scheme)
    if scheme in LISTENING:
        probe(address, scheme, host, port)
