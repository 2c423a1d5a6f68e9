#!/usr/bin/python3
"""Stand-in of the cloud monitoring service: the management API and the metric upload.

HTTPS (default port 443) serves the management API host and the upload host; plain HTTP
(default port 80) serves the pre-production upload host. Runs in the foreground until
SIGTERM or SIGINT. See README.md beside this file for the files it reads and writes.
"""

import argparse
import http.server
import itertools
import json
import os
import signal
import ssl
import sys
import threading
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from cloud_auth import Credentials, NonceBook, Refusal, verify_rpc, verify_upload  # noqa: E402
from cloud_control import Control, Journal, apply_fault  # noqa: E402
from cloud_groups import ApiError, Groups, error_reply  # noqa: E402

MAX_BODY = 1 << 20


def check_metric_body(body):
    """The upload body: a JSON array of metric records as the gateway builds them."""
    try:
        doc = json.loads(body.decode("utf-8"))
    except ValueError:
        raise Refusal(400, "body is not JSON") from None
    if not isinstance(doc, list) or not doc:
        raise Refusal(400, "body is not a non-empty JSON array")
    for item in doc:
        if not isinstance(item, dict):
            raise Refusal(400, "metric record is not an object")
        for key, kind in (("productCode", str), ("metricName", str), ("groupId", str),
                          ("instanceId", str), ("dimensions", dict)):
            if not isinstance(item.get(key), kind):
                raise Refusal(400, "metric record key %s missing or not %s"
                              % (key, kind.__name__))
        for key in ("value", "ts"):
            if isinstance(item.get(key), bool) or not isinstance(item.get(key), (int, float)):
                raise Refusal(400, "metric record key %s missing or not a number" % key)


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "CloudStandIn/1.0"
    timeout = 30
    # The head and the body of a reply are two writes: on a kept connection Nagle's algorithm
    # would hold the body back until the client's delayed acknowledgement (40 ms).
    disable_nagle_algorithm = True

    def log_message(self, fmt, *args):  # the journal keeps what matters
        pass

    def _host(self):
        host = (self.headers.get("Host") or "").strip().lower()
        return host.rsplit(":", 1)[0] if ":" in host else host

    def setup(self):
        # One handler serves one connection, request after request (keep-alive).
        self.connection_id = self.server.app.new_connection()
        super().setup()

    def _send(self, status, body, close=False):
        self.send_response(status)
        self.send_header("Content-Type", "application/json;charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        if close:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        self.wfile.write(body)

    def _event(self, kind, status, **fields):
        self.server.app.journal.event(kind, listener=self.server.scheme, host=self._host(),
                                      method=self.command, path=self.path, status=status,
                                      connection=self.connection_id, **fields)

    def _refuse(self, status, reason, **fields):
        # A refused request may have left its body unread: the connection cannot go on.
        self._event("refused", status, reason=reason, **fields)
        self._send(status, json.dumps(error_reply(status, reason)).encode(), close=True)

    def _faulted(self, fault, status, reply, on_success=None, **fields):
        """Answers, with the fault's changes; on_success runs before a 200 goes out, so a
        client that has seen the answer also finds its effect recorded."""
        status, body = apply_fault(fault, status, reply)
        kind = "fault" if fault is not None else "accepted"
        self._event(kind, status, fault=fault, **fields)
        if fault is not None and fault.get("drop"):
            self.close_connection = True  # no answer at all: the connection just ends
            return
        if status == 200 and on_success is not None:
            on_success()
        if fault is not None:
            time.sleep(float(fault.get("delay", 0)))
        try:
            self._send(status, body)
        except OSError:  # the client gave up waiting
            pass

    def do_GET(self):
        app = self.server.app
        url = urllib.parse.urlsplit(self.path)
        if self.server.serves != "https" or self._host() != app.api_host:
            return self._refuse(400, "no management API on %s://%s"
                                % (self.server.scheme, self._host()))
        if url.path != "/":
            return self._refuse(404, "unknown path %r" % url.path)
        action, fault = None, None
        try:
            params = verify_rpc(url.query, app.creds, app.nonces, app.max_skew)
            action = params["Action"]
            fault = app.control.fault_for(action)
            if fault is not None and fault.get("apply") is False:
                status, reply = 200, {"Code": 200}
            else:
                status, reply = app.groups.handle(action, params)
        except Refusal as e:
            return self._refuse(e.status, e.reason, action=action)
        except ApiError as e:
            status, reply = e.status, error_reply(e.status, e.message)
        self._faulted(fault, status, reply, action=action)

    def do_POST(self):
        app = self.server.app
        want_host = app.upload_host if self.server.serves == "https" else app.pre_upload_host
        if self._host() != want_host:
            return self._refuse(400, "no upload endpoint on %s://%s"
                                % (self.server.scheme, self._host()))
        try:
            length = int(self.headers.get("Content-Length", ""))
        except ValueError:
            return self._refuse(411, "Content-Length missing or not a number")
        if length < 0 or length > MAX_BODY:
            return self._refuse(413, "body of %d bytes refused" % length)
        body = self.rfile.read(length)
        try:
            key_id, token = verify_upload(self.headers, self.path, body, app.creds,
                                          app.max_skew)
            if app.check_body:
                check_metric_body(body)
        except Refusal as e:
            return self._refuse(e.status, e.reason, action="upload")
        fault = app.control.fault_for("upload", body)
        reply = {"Code": 200, "Success": True, "Message": "ok"}

        def record():
            if fault is None or fault.get("apply") is not False:
                app.journal.upload(self.server.scheme, self.headers, body, key_id, token)
        self._faulted(fault, 200, reply, on_success=record, action="upload")

    def do_PUT(self):
        self._refuse(405, "method PUT not allowed")

    do_DELETE = do_PUT


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    # A client that opens several connections at once must not meet a full accept queue
    # (a dropped connect is retried only a second later).
    request_queue_size = 64

    def __init__(self, app, scheme, address, tls_context=None):
        self.app, self.scheme, self.tls_context = app, scheme, tls_context
        # Behind a TLS front end, plain HTTP carries what HTTPS would.
        self.serves = "https" if app.behind_tls_proxy else scheme
        super().__init__(address, Handler)

    def finish_request(self, request, client_address):
        # The handshake runs on the request's own thread so a stalled client blocks nobody.
        if self.tls_context is None:
            return super().finish_request(request, client_address)
        request.settimeout(Handler.timeout)
        try:
            tls = self.tls_context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError) as e:
            self.app.journal.event("tls-error", listener=self.scheme, reason=str(e))
            return None
        try:
            super().finish_request(tls, client_address)
        finally:
            tls.close()


class App:
    def __init__(self, args):
        self.api_host = args.api_host.lower()
        self.upload_host = args.upload_host.lower()
        self.pre_upload_host = args.pre_upload_host.lower()
        self.max_skew = args.max_skew
        self.check_body = not args.no_body_check
        self.behind_tls_proxy = args.behind_tls_proxy
        self.creds = Credentials(args.credentials)
        self.nonces = NonceBook(args.max_skew)
        self.groups = Groups(args.state)
        self.control = Control(args.control)
        self.journal = Journal(args.record, args.events)
        self._connections = itertools.count(1)

    def new_connection(self):
        """Serial number of an accepted connection (a TLS one has had its handshake)."""
        return next(self._connections)


def parse_args(argv):
    env = os.environ.get
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--credentials", required=True, help="credentials JSON file")
    p.add_argument("--cert", help="server certificate (PEM, chain allowed)")
    p.add_argument("--key", help="server private key (PEM)")
    p.add_argument("--bind", default="127.0.0.1")
    p.add_argument("--https-port", type=int, default=443, help="-1 disables, 0 picks one")
    p.add_argument("--http-port", type=int, default=80, help="-1 disables, 0 picks one")
    p.add_argument("--api-host", default=env("SM_API_HOST", "monitor-api.cloud.example"))
    p.add_argument("--upload-host", default=env("SM_UPLOAD_HOST", "metrics.cloud.example"))
    p.add_argument("--pre-upload-host",
                   default=env("SM_PRE_UPLOAD_HOST", "metrics-pre.cloud.example"))
    p.add_argument("--record", help="JSON lines of accepted uploads")
    p.add_argument("--events", help="JSON lines of every request's outcome")
    p.add_argument("--control", help="control file of injected faults")
    p.add_argument("--state", help="groups and instances, kept across restarts")
    p.add_argument("--ready-file", help="written with the pid and ports once listening")
    p.add_argument("--max-skew", type=int, default=300, help="allowed clock skew, s")
    p.add_argument("--no-body-check", action="store_true",
                   help="accept any upload body, not only metric records")
    p.add_argument("--behind-tls-proxy", action="store_true",
                   help="plain HTTP serves the HTTPS hosts, for a TLS front end forwarding "
                        "to it")
    args = p.parse_args(argv)
    if args.https_port >= 0 and not (args.cert and args.key):
        p.error("--cert and --key are needed for HTTPS")
    return args


def start_servers(app, args):
    servers = []
    if args.https_port >= 0:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(args.cert, args.key)
        servers.append(Server(app, "https", (args.bind, args.https_port), ctx))
    if args.http_port >= 0:
        servers.append(Server(app, "http", (args.bind, args.http_port)))
    for server in servers:
        threading.Thread(target=server.serve_forever, daemon=True).start()
    return servers


def write_ready(path, servers):
    ports = {s.scheme: s.server_address[1] for s in servers}
    if path:
        tmp = path + ".tmp"
        with open(tmp, "w", encoding="utf-8") as f:
            json.dump({"pid": os.getpid(), "ports": ports}, f)
        os.replace(tmp, path)
    print("cloud stand-in ready %s" % json.dumps(ports), flush=True)


def main(argv):
    args = parse_args(argv)
    app = App(args)
    try:
        servers = start_servers(app, args)
    except (OSError, ssl.SSLError) as e:
        print("cloud stand-in: cannot listen: %s" % e, file=sys.stderr)
        return 1
    stop = threading.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: stop.set())
    write_ready(args.ready_file, servers)
    while not stop.wait(1):
        pass
    for server in servers:
        server.shutdown()
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
