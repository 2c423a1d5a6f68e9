"""The gateway's outside partners for end-to-end tests: the cloud stand-in and the
credential-service stand-in, sharing one credentials file.

    cloud = peers.start_cloud(gw, [{"accessKeyId": "AK", "accessKeySecret": "SK",
                                    "securityToken": "T"}])
    cred = peers.start_credential(gw, cloud.paths["credentials.json"])
    ... cloud.records(), cred.calls(), cred.set_control({"mode": "code"})

Both are stopped by gw.close(), and their logs are shown with the others when a test fails.
"""

import os
import shutil
import sys

import harness

sys.path.insert(0, os.path.join(harness.source_dir(), "sim", "cloud"))
from cloud_harness import CloudStandIn, read_lines, write_json  # noqa: E402

BASE_DIR = "/harbex/gateway/build"  # the daemon runs from BASE_DIR/bin
CA_DIR = "/tmp/e2e-cloud-ca"         # one test CA per sandbox, made on first use
CREDENTIAL_SCRIPT = os.path.join(harness.source_dir(), "sim", "credential",
                                 "credential_sim.py")


class _Closer:
    """Lets Gateway.close() stop a stand-in that is not a harness.Proc."""

    def __init__(self, name, log_path, stop):
        self.name, self.log_path, self._stop = name, log_path, stop

    def close(self):
        self._stop()


def start_cloud(gw, credentials, name="cloud", install_ca=True, state=None):
    """Starts the cloud stand-in (HTTPS 443, HTTP 80) with `credentials` (a list of
    {"accessKeyId", "accessKeySecret", "securityToken"?, "expireTimeMs"?}) and installs its
    CA where programs under BASE_DIR/bin look for it. `state` seeds its groups:
    {"nextGroupId": N, "groups": [{"GroupId", "GroupName", "instances": [{"InstanceId",
    "InstanceName", "Category", "RegionId"}]}]}. Returns the CloudStandIn."""
    cloud = CloudStandIn(os.path.join(gw.log_dir, name), credentials, ca_dir=CA_DIR)
    if state is not None:
        write_json(cloud.paths["state.json"], state)
    cloud.start()
    gw.procs[name] = _Closer(name, cloud.paths["stand-in.log"], cloud.stop)
    if install_ca:
        cloud.install_ca(BASE_DIR)
    return cloud


class CredentialStandIn:
    """The credential service stand-in: its process, control file and call record."""

    def __init__(self, proc, control_path, record_path):
        self.proc = proc
        self.control_path = control_path
        self.record_path = record_path

    def set_control(self, doc):
        """Replaces the control document ({"mode": ...}); the next call reads it."""
        write_json(self.control_path, doc or {})

    def records(self, event=None):
        return [r for r in read_lines(self.record_path) if event in (None, r["event"])]

    def calls(self):
        return self.records("call")

    def wait_for(self, event, count=1, timeout=5.0):
        """Waits until `count` records of `event` exist; returns them."""
        return harness.poll_count(lambda: self.records(event), count, timeout,
                                  "credential stand-in %r record(s)" % event)


def start_credential(gw, credentials_path, duration=3600, control=None, name="credential"):
    """Starts the credential-service stand-in on the gateway bus, issuing the entries of
    `credentials_path` in turn with `duration` seconds of life, under `control`."""
    control_path = os.path.join(gw.log_dir, name + "-control.json")
    record_path = os.path.join(gw.log_dir, name + ".jsonl")
    if os.path.exists(record_path):
        os.unlink(record_path)
    write_json(control_path, control or {})
    proc = gw.start_python(name, CREDENTIAL_SCRIPT,
                           ["--address", harness.BUS_ADDRESS, "--credentials", credentials_path,
                            "--duration", str(duration), "--control", control_path,
                            "--record", record_path],
                           ready_regex=r'"event": "ready"')
    return CredentialStandIn(proc, control_path, record_path)


def install_beside_daemon(path):
    """Copies a program to BASE_DIR/bin (where it finds the cloud CA); returns the copy."""
    dest = os.path.join(BASE_DIR, "bin", os.path.basename(path))
    os.makedirs(os.path.dirname(dest), exist_ok=True)
    shutil.copy2(path, dest)
    return dest

