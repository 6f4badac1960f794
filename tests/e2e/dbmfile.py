"""Reads and writes the server's DBM files (Berkeley DB hash files) with Debian's db5.3 tools,
byte for byte, so that tests can check what is on disk independently of the module."""

import subprocess


def read(path):
    """All records of a DBM file as {key bytes: value bytes}."""
    out = subprocess.run(["db5.3_dump", path], capture_output=True, check=True).stdout
    lines = out.decode("ascii").splitlines()
    data = lines[lines.index("HEADER=END") + 1:]
    records = {}
    items = [bytes.fromhex(line.strip()) for line in data if line.startswith(" ")]
    for key, value in zip(items[0::2], items[1::2]):
        records[key] = value
    return records


def write(path, records):
    """Creates a DBM file holding exactly these records."""
    lines = ["VERSION=3", "format=bytevalue", "type=hash", "HEADER=END"]
    for key, value in records.items():
        lines.append(" " + key.hex())
        lines.append(" " + value.hex())
    lines.append("DATA=END")
    subprocess.run(["db5.3_load", path], input=("\n".join(lines) + "\n").encode(), check=True)
