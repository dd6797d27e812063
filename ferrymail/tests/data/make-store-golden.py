#!/usr/bin/env python3
"""Writes store-golden.ms, the expected store file of MessageStoreTest.GoldenFile, from
the layout in docs/store-format.md (independently of the C++ writer)."""
import struct, sys, os

def i32(v): return struct.pack('<i', v)
def s(text):
    b = text.encode('utf-8')
    pad = (4 - len(b) % 4) % 4
    return i32(len(b)) + b + b'\0' * pad
def addr(a, n): return s(a) + s(n)

header = ("Return-Path: <bounce@example.org>\r\n"
          "From: Anna Example <anna@example.org>\r\n"
          "Reply-To: reply@example.org\r\n"
          "Sender: list@example.org\r\n"
          "To: bert@example.net, Carl <carl@example.net>\r\n"
          "Cc: dora@example.com\r\n"
          "Subject: Hello\r\n"
          "Date: Mon, 6 Jan 2003 10:20:30 -0500\r\n")
body = "line1\r\nline2\r\nline3\r\n"
notes = "X-Quillon-Analysis: Skipped because synchronizing new message store\r\n"

out = b'STOR' + bytes([1, 0, 0, 0])
# header record: server count, server size, two client STAT entries
out += i32(2) + i32(1234) + i32(2) + s("mpop") + i32(1) + i32(100) + s("fetchmail") + i32(2) + i32(200)
# message 1: every optional field
out += s("abcde") + i32(1) + i32(600) + i32(3) + i32(5) + i32(7) + i32(1041866500) + i32(0x1FF) + i32(0)
out += s(header) + s(notes) + s(body)
out += i32(1041866430) + s("Hello")
out += addr("anna@example.org", "Anna Example") + addr("reply@example.org", "")
out += addr("bounce@example.org", "") + addr("list@example.org", "")
out += i32(2) + addr("bert@example.net", "") + addr("carl@example.net", "Carl")
out += i32(1) + addr("dora@example.com", "")
# message 2: never downloaded, held, deleted from the server: no optional field
out += s("12345678") + i32(2) + i32(0) + i32(0) + i32(4) + i32(0) + i32(0) + i32(0) + i32(1)
out += s("")
out += b'ROTS'
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), 'store-golden.ms'), 'wb') as f:
    f.write(out)
