"""Monitor groups and their instances, as the management API keeps them.

Every action takes the verified request parameters and returns (HTTP status, reply object).
The state is saved to the state file after each change, when one is given.
"""

import json
import os
import re
import threading
import uuid

FIRST_GROUP_ID = 1000001
INSTANCE_KEY_RE = re.compile(r"^Instances\.(\d+)\.(Category|InstanceId|InstanceName|RegionId)$")


class ApiError(Exception):
    def __init__(self, status, message):
        super().__init__(message)
        self.status = status
        self.message = message


def ok(**fields):
    return 200, dict({"Code": 200, "Success": True, "RequestId": str(uuid.uuid4()).upper()},
                     **fields)


def error_reply(status, message):
    return {"Code": status, "Success": False, "Message": message,
            "RequestId": str(uuid.uuid4()).upper()}


def _group_id(params):
    text = params.get("GroupId")
    if text is None:
        raise ApiError(400, "GroupId is mandatory for this action")
    if not re.fullmatch(r"[0-9]{1,18}", text):
        raise ApiError(400, "GroupId %r is not a number" % text)
    return int(text)


def _instances_of_request(params):
    """Instances.N.* parameters grouped by N, in the order of N."""
    by_index = {}
    for key, value in params.items():
        m = INSTANCE_KEY_RE.match(key)
        if m:
            by_index.setdefault(int(m.group(1)), {})[m.group(2)] = value
        elif key.startswith("Instances."):
            raise ApiError(400, "unknown parameter %s" % key)
    if not by_index:
        raise ApiError(400, "Instances is mandatory for this action")
    result = []
    for index in sorted(by_index):
        item = by_index[index]
        if not item.get("InstanceId"):
            raise ApiError(400, "Instances.%d.InstanceId is mandatory" % index)
        result.append({"InstanceId": item["InstanceId"],
                       "InstanceName": item.get("InstanceName", ""),
                       "Category": item.get("Category", ""),
                       "RegionId": item.get("RegionId", "")})
    return result


class Groups:
    def __init__(self, state_path=None):
        self.state_path = state_path
        self._lock = threading.Lock()
        self._next_id = FIRST_GROUP_ID
        self._groups = []
        if state_path and os.path.exists(state_path):
            with open(state_path, encoding="utf-8") as f:
                doc = json.load(f)
            self._next_id = int(doc.get("nextGroupId", FIRST_GROUP_ID))
            self._groups = doc.get("groups", [])

    def _save(self):
        if not self.state_path:
            return
        tmp = self.state_path + ".tmp"
        with open(tmp, "w", encoding="utf-8") as f:
            json.dump({"nextGroupId": self._next_id, "groups": self._groups}, f, indent=1)
        os.replace(tmp, self.state_path)

    def _find(self, group_id):
        for group in self._groups:
            if group["GroupId"] == group_id:
                return group
        raise ApiError(404, "group %d does not exist" % group_id)

    def snapshot(self):
        with self._lock:
            return json.loads(json.dumps(self._groups))

    def handle(self, action, params):
        method = getattr(self, "_" + action, None)
        if method is None or not action[:1].isupper():
            raise ApiError(400, "unknown Action %r" % action)
        with self._lock:
            return method(params)

    # Names match the way the service searches: case-insensitive, anywhere in the name.
    # The client has to pick its exact group out of the list.
    def _DescribeMonitorGroups(self, params):
        wanted = params.get("GroupName")
        found = [{"GroupName": g["GroupName"], "GroupId": g["GroupId"]}
                 for g in self._groups
                 if wanted is None or wanted.lower() in g["GroupName"].lower()]
        return ok(Total=len(found), Resources={"Resource": found})

    def _CreateMonitorGroup(self, params):
        name = params.get("GroupName")
        if not name:
            raise ApiError(400, "GroupName is mandatory for this action")
        if any(g["GroupName"] == name for g in self._groups):
            raise ApiError(409, "a group named %r exists already" % name)
        group_id = self._next_id
        self._next_id += 1
        self._groups.append({"GroupId": group_id, "GroupName": name, "instances": []})
        self._save()
        return ok(GroupId=group_id)

    def _DeleteMonitorGroup(self, params):
        group = self._find(_group_id(params))
        self._groups.remove(group)
        self._save()
        return ok()

    def _CreateMonitorGroupInstances(self, params):
        group = self._find(_group_id(params))
        for item in _instances_of_request(params):
            group["instances"] = [i for i in group["instances"]
                                  if i["InstanceId"] != item["InstanceId"]] + [item]
        self._save()
        return ok()

    def _DeleteMonitorGroupInstances(self, params):
        group = self._find(_group_id(params))
        ids = [i for i in params.get("InstanceIdList", "").split(",") if i]
        if not ids:
            raise ApiError(400, "InstanceIdList is mandatory for this action")
        category = params.get("Category")
        group["instances"] = [i for i in group["instances"]
                              if i["InstanceId"] not in ids
                              or (category and i["Category"] != category)]
        self._save()
        return ok()

    def _DescribeMonitorGroupInstances(self, params):
        group = self._find(_group_id(params))
        ids = [i for i in params.get("InstanceIds", "").split(",") if i]
        found = [dict(i) for i in group["instances"] if not ids or i["InstanceId"] in ids]
        return ok(Total=len(found), Resources={"Resource": found})
