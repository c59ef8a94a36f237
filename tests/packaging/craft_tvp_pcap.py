#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Writes a pcap file of TVP messages built by hand: well-formed ones and
each kind of malformed one a receiver rejects, as UDP datagrams between
10.0.0.1 and 10.0.0.20. Nothing is sent anywhere.

usage: craft_tvp_pcap.py OUT.pcap OUT.tsv
OUT.tsv lists, one line per frame, what the frame holds and the text of the
malformation expected there ("-" for none)."""
import struct
import sys

PORT = 30718
CLIENT_PORT = 40000


def header(opcode, txid, device_id=bytes(8), magic=b"TV", version=1):
    return magic + bytes([version, opcode]) + struct.pack(">I", txid) + device_id


def field(ftype, value):
    return bytes([ftype, len(value)]) + value


def pad_to(message, size):
    while len(message) < size:
        chunk = min(255, size - len(message) - 2)
        message += field(0, bytes(chunk))
    return message


def ipv4(text):
    return bytes(int(x) for x in text.split("."))


MAC = bytes.fromhex("001a2b000001") + bytes(2)
ADDR, MASK, GW = ipv4("192.168.1.20"), ipv4("255.255.255.0"), ipv4("192.168.1.1")

# (description, answer?, datagram, expected malformed text or "-")
FRAMES = [
    ("discover", False, pad_to(header(0x01, 0x11111111), 256), "-"),
    ("discover answer", True,
     header(0x81, 0x11111111, MAC) + field(1, b"Boiler Room") + field(2, b"I/O Gateway")
     + field(3, ADDR), "-"),
    ("getip answer", True,
     header(0x82, 0x22222222, MAC) + field(3, ADDR) + field(4, MASK) + field(5, GW)
     + field(6, b"\x00"), "-"),
    ("setip", False,
     pad_to(header(0x03, 0x33333333, MAC) + field(3, ADDR) + field(4, MASK) + field(5, GW)
            + field(6, b"\x01"), 256), "-"),
    ("setip answer", True, header(0x83, 0x33333333, MAC) + field(7, b"\x01") + field(3, ADDR), "-"),
    ("short header", True, header(0x81, 1, MAC)[:12], "12 bytes, shorter than the 16-byte header"),
    ("bad magic", True, header(0x81, 2, MAC, magic=b"TW") + field(3, ADDR), "magic is not \"TV\""),
    ("bad version", True, header(0x81, 3, MAC, version=2) + field(3, ADDR), "version 2, not 1"),
    ("unknown opcode", True, header(0x85, 4, MAC) + field(3, ADDR), "Unknown opcode 0x85"),
    ("field past end", True, header(0x81, 5, MAC) + bytes([1, 20]) + b"short",
     "name field of 20 bytes runs 15 bytes past the end of the datagram"),
    ("lone type byte", True, header(0x81, 6, MAC) + field(3, ADDR) + b"\x01",
     "field header runs past the end of the datagram"),
    ("address of 3 bytes", True, header(0x81, 7, MAC) + field(3, ADDR[:3]),
     "address field is 3 bytes, not 4"),
    ("dhcp of 2 bytes", True,
     header(0x82, 8, MAC) + field(3, ADDR) + field(4, MASK) + field(5, GW) + field(6, b"\x00\x01"),
     "dhcp field is 2 bytes, not 1"),
    ("duplicate address", True, header(0x81, 9, MAC) + field(3, ADDR) + field(3, ADDR),
     "address field appears twice"),
    ("id tail not zero", True, header(0x81, 10, bytes.fromhex("001a2b0000010001")) + field(3, ADDR),
     "device ID bytes 6-7 are not zero"),
    ("over 512 bytes", True, pad_to(header(0x81, 11, MAC) + field(3, ADDR), 600),
     "600 bytes, over the 512-byte limit"),
]


def ip_udp(src, dst, sport, dport, payload):
    udp = struct.pack(">HHHH", sport, dport, 8 + len(payload), 0) + payload
    total = 20 + len(udp)
    ip = struct.pack(">BBHHHBBH4s4s", 0x45, 0, total, 0, 0, 64, 17, 0, ipv4(src), ipv4(dst))
    checksum = sum(struct.unpack(">10H", ip))
    while checksum > 0xFFFF:
        checksum = (checksum & 0xFFFF) + (checksum >> 16)
    ip = ip[:10] + struct.pack(">H", ~checksum & 0xFFFF) + ip[12:]
    return ip + udp


def main():
    pcap_path, tsv_path = sys.argv[1], sys.argv[2]
    with open(pcap_path, "wb") as pcap, open(tsv_path, "w") as tsv:
        # pcap header: version 2.4, snaplen 65535, link type 101 (raw IPv4)
        pcap.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 101))
        for number, (what, answer, datagram, expected) in enumerate(FRAMES, 1):
            if answer:
                packet = ip_udp("10.0.0.20", "10.0.0.1", PORT, CLIENT_PORT, datagram)
            else:
                packet = ip_udp("10.0.0.1", "10.0.0.255", CLIENT_PORT, PORT, datagram)
            pcap.write(struct.pack("<IIII", 1700000000 + number, 0, len(packet), len(packet)))
            pcap.write(packet)
            tsv.write(f"{number}\t{what}\t{expected}\n")


if __name__ == "__main__":
    main()
