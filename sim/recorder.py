"""Event journal shared by the Python stand-ins: one JSON object per line."""

import json
import time


class Recorder:
    """Appends one JSON object per line and echoes it on standard output."""

    def __init__(self, path):
        self._file = open(path, "a", encoding="utf-8") if path else None

    def write(self, event, **fields):
        record = {"event": event, "time": round(time.time(), 6)}
        record.update(fields)
        line = json.dumps(record, sort_keys=True)
        if self._file:
            self._file.write(line + "\n")
            self._file.flush()
        print(line, flush=True)
