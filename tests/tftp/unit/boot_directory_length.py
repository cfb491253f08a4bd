#!/usr/bin/env python3
"""The native runner from a boot directory of 259 bytes serves; from one of 260 bytes it refuses to start.

Usage: boot_directory_length.py PATH-TO-corvane-serve
Run from the 259-byte directory, the full-path buffer of 264 bytes takes names of up to 4 bytes: a 5-byte
name is answered as a missing file. Output goes to a file, so the lines must be flushed by each trace call.
"""
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

LISTENING = "TFTP: 'Listening' on port 6051, protocol UDP at "


def deep_directory(root, length):
    """Creates below root a directory whose path with its closing '/' is exactly length bytes long."""
    path = root
    missing = length - 1 - len(path)  # bytes to add, each component with its separator
    assert missing >= 2
    while missing > 0:
        size = missing - 1 if missing <= 201 else (199 if missing == 202 else 200)
        path = os.path.join(path, "d" * size)
        missing -= size + 1
    assert len(path) + 1 == length, (len(path), length)
    os.makedirs(path)
    return path


def run_refused(runner, root):
    directory = deep_directory(os.path.join(root, "refused"), 260)
    exe = os.path.join(directory, "corvane-serve")
    shutil.copy(runner, exe)
    done = subprocess.run([exe], capture_output=True, timeout=20)
    expected = b"TFTP: Boot directory of 260 bytes cannot be served (1 to 259 bytes), server not started\n"
    assert done.returncode == 1, (done.returncode, done.stdout, done.stderr)
    assert done.stdout == expected, done.stdout


def request(sock, name):
    sock.sendto(b"\0\1" + name + b"\0octet\0", ("127.0.0.1", 6051))
    reply, _ = sock.recvfrom(4096)
    return reply


def run_served(runner, root):
    directory = deep_directory(os.path.join(root, "served"), 259)
    exe = os.path.join(directory, "corvane-serve")
    shutil.copy(runner, exe)
    with open(os.path.join(directory, "abcd"), "wb") as f:
        f.write(b"four")
    with open(os.path.join(directory, "abcde"), "wb") as f:
        f.write(b"five!")
    out_path = os.path.join(root, "trace.txt")
    with open(out_path, "wb") as out:
        server = subprocess.Popen([exe], stdout=out, stderr=subprocess.PIPE)
    try:
        listening = LISTENING + directory + "/\n"
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            with open(out_path) as f:
                if listening in f.read():
                    break
            assert server.poll() is None, "the runner ended early"
            time.sleep(0.05)
        else:
            raise AssertionError("no listening line")
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
            sock.bind(("127.0.0.1", 0))
            sock.settimeout(5)
            assert request(sock, b"abcd") == b"\0\3\0\1four"
            sock.sendto(b"\0\4\0\1", ("127.0.0.1", 6051))
            assert request(sock, b"abcde") == b"\0\5\0\1File does not exist.\0"
    finally:
        server.send_signal(signal.SIGTERM)
        _, err = server.communicate(timeout=20)
    assert server.returncode == 0, (server.returncode, err)
    with open(out_path) as f:
        trace = f.read()
    expected = ("Starting TFTP server\nEntering CTFTPServer::Entry().\n" + listening +
                "TFTP: Received read request\nTFTP: Received RRQ for abcd\n"
                "TFTP: No tftp option extensions found.\n")
    assert trace.startswith(expected), trace
    assert "TFTP: Transferred 1 blocks of 512 data bytes in " in trace, trace
    assert trace.endswith("TFTP: Received read request\nTFTP: Received RRQ for abcde\n"
                          "TFTP: Received read request for invalid file\nCTFTPServer::Entry() is down!\n"), trace


def main():
    runner = sys.argv[1]
    root = os.path.realpath(tempfile.mkdtemp(prefix="corvane-bootdir-"))
    try:
        run_refused(runner, root)
        run_served(runner, root)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    print("boot directory length: ok")


if __name__ == "__main__":
    main()
