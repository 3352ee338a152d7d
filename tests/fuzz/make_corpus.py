#!/usr/bin/env python3
"""Writes the hand-built seed corpus of the fuzz targets into corpus/<target>/.

Run it again after changing a seed; the files it writes are committed.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def name(dotted):
    out = b""
    for label in dotted.split(".") if dotted else []:
        out += bytes([len(label)]) + label.encode()
    return out + b"\0"


def ptr(offset):
    return struct.pack(">H", 0xC000 | offset)


def header(ident, rcode=0, qd=1, an=0, flags=0x81):
    return struct.pack(">HBBHHHH", ident, flags, 0x80 | rcode, qd, an, 0, 0)


def rr(owner, rtype, rclass, ttl, rdata):
    return owner + struct.pack(">HHIH", rtype, rclass, ttl, len(rdata)) + rdata


def replies():
    q = name("www.example.com") + b"\0\1\0\1"  # at 12; "example" at 16
    seeds = {}
    # CNAME then two A records, compressed.
    web = 12 + len(q) + 12
    seeds["cname_then_a"] = (header(0x0C01, an=3) + q
                             + rr(ptr(12), 5, 1, 128, b"\3web" + ptr(16))
                             + rr(ptr(web), 1, 1, 300, bytes([10, 0, 0, 1]))
                             + rr(ptr(web), 1, 1, 300, bytes([10, 0, 0, 2])))
    # A CNAME chain of three steps.
    body = header(0x0C02, an=4) + q
    a1 = len(body) + 12
    body += rr(ptr(12), 5, 1, 60, b"\2c1" + ptr(16))
    a2 = len(body) + 12
    body += rr(ptr(a1), 5, 1, 60, b"\2c2" + ptr(16))
    a3 = len(body) + 12
    body += rr(ptr(a2), 5, 1, 60, b"\2c3" + ptr(16))
    body += rr(ptr(a3), 1, 1, 60, bytes([192, 0, 2, 1]))
    seeds["cname_chain"] = body
    seeds["nxdomain"] = header(0x0C03, rcode=3) + q
    seeds["truncated_tc"] = (header(0x0C04, an=2, flags=0x83) + q
                             + rr(ptr(12), 1, 1, 60, bytes([10, 0, 0, 1]))
                             + rr(ptr(12), 1, 1, 60, bytes([10, 0, 0, 2])))[:-3]
    seeds["pointer_loop"] = header(0x0C05) + ptr(12) + b"\0\1\0\1"
    seeds["pointer_pair_loop"] = header(0x0C06) + b"\2ab" + ptr(18) + b"\0\2cd" + ptr(12) + b"\0\1\0\1"
    seeds["pointer_past_end"] = header(0x0C07, an=1) + q + rr(ptr(0x3FFF), 1, 1, 1, b"\1\2\3\4")
    seeds["aaaa_and_mx"] = (header(0x0C08, an=2) + q
                            + rr(ptr(12), 28, 1, 60, bytes(range(16)))
                            + rr(ptr(12), 15, 1, 60, b"\0\x0a" + ptr(12)))
    seeds["label_63"] = header(0x0C09, an=1) + name("x" * 63 + ".test") + b"\0\1\0\1"
    seeds["ancount_huge"] = header(0x0C0A, an=0xFFFF) + q + rr(ptr(12), 1, 1, 60, b"\1\1\1\1")
    seeds["class_chaos"] = header(0x0C0B, an=2) + q + rr(ptr(12), 16, 3, 0, b"\3abc") + rr(ptr(12), 1, 1, 0, b"")
    seeds["query_not_reply"] = header(0x0C0C, flags=0x01) + q
    # Chained pointers: a ladder of 62-byte labels, each pointing at the one
    # before, in the data of a class CH record; 80 CNAMEs name its top twice.
    body = header(0x0C0D, an=81) + q
    rungs, below = b"", 12
    start = len(body) + 12
    for _ in range(31):
        here = start + len(rungs)
        rungs += b"\x3e" + b"a" * 62 + ptr(below)
        below = here
    body += rr(ptr(12), 16, 3, 60, rungs)
    for _ in range(80):
        body += rr(ptr(below), 5, 1, 60, ptr(below))
    seeds["pointer_ladder"] = body
    four = ".".join(["a" * 62] * 4)
    seeds["name_255"] = header(0x0C0E, an=1) + name(four + ".b") + b"\0\1\0\1" + rr(ptr(12), 1, 1, 60, b"\1\2\3\4")
    seeds["name_256"] = header(0x0C0F, an=1) + name(four + ".bc") + b"\0\1\0\1" + rr(ptr(12), 1, 1, 60, b"\1\2\3\4")
    seeds["ttl_top_bit"] = (header(0x0C10, an=2) + q + rr(ptr(12), 1, 1, 0x80000000, bytes([10, 0, 0, 1]))
                            + rr(ptr(12), 1, 1, 0x7FFFFFFF, bytes([10, 0, 0, 2])))
    # The IPv6 question: AAAA records through a CNAME, an IPv4-mapped one, and
    # records whose data is one byte short or long.
    q6 = name("www.example.com") + b"\0\x1c\0\1"
    web6 = 12 + len(q6) + 12
    seeds["aaaa_cname"] = (header(0x0C11, an=3) + q6
                           + rr(ptr(12), 5, 1, 128, b"\3web" + ptr(16))
                           + rr(ptr(web6), 28, 1, 300, bytes.fromhex("20010db8000000000000000000000001"))
                           + rr(ptr(web6), 28, 1, 300, bytes.fromhex("fe800000000000000000000000000000")))
    seeds["aaaa_mapped"] = (header(0x0C12, an=2) + q6
                            + rr(ptr(12), 28, 1, 60, bytes.fromhex("00000000000000000000ffffc0000201"))
                            + rr(ptr(12), 28, 1, 60, bytes.fromhex("ffffffffffffffffffffffffffffffff")))
    seeds["aaaa_bad_length"] = (header(0x0C13, an=2) + q6
                                + rr(ptr(12), 28, 1, 60, bytes(15))
                                + rr(ptr(12), 28, 1, 60, bytes(17)))
    seeds["aaaa_nodata"] = header(0x0C14) + q6
    return seeds


def names():
    # Byte 0 of the ID picks the start offset, byte 1 the limit (0xFF: all).
    seeds = {}
    for tag, (start, limit, body) in {
        "plain": (12, 0xFF, name("www.example.com")),
        "label_then_pointer": (29, 0xFF, name("www.example.com") + b"\4mail" + ptr(16)),
        "self_pointer": (12, 0xFF, ptr(12)),
        "limit_cut": (12, 5, name("www.example.com")),
        "zero_in_label": (12, 0xFF, b"\5ab\0cd\0"),
        "chain": (18, 0xFF, name("end") + ptr(12) + ptr(17)),
    }.items():
        seeds[tag] = bytes([start, limit]) + header(0)[2:] + body
    return seeds


def hosts():
    return {
        "typical": b"127.0.0.1\tlocalhost loopback # the usual\n::1 localhost ip6-localhost\n"
                   b"10.0.0.1 first.test\n10.0.0.2 first.test second.test\n",
        "comments_blank": b"# only a comment\n\n   \t \n#\n",
        "cr_only": b"10.0.0.1 a.test\r10.0.0.2 b.test\r\r",
        "crlf": b"10.0.0.1 a.test\r\n\r\n10.0.0.2 b.test\r\n",
        "odd_forms": b"127.1 short\n0x7f.1 hex\n010.0.0.1 octal\n255.255.255.255 bcast\n1.2.3.4.5 five\n"
                     b"10.0.0.3 bad*name ok_name\n",
        "long_line": b"10.0.0.1 " + b" " * 1010 + b"cut.here dropped\n10.0.0.2 next\n",
        "ipv6_forms": b"::1 localhost\nFE80::0:1 link\n::ffff:1.2.3.4 mapped\n1:2:3:4:5:6:7:8:9 nine\n"
                      b"1::2::3 two.gaps\n::1%lo zoned\n[::1] bracketed\n2001:db8::1.2.3.4 tail\n",
    }


def profiles():
    return {
        "host_db": b"[domain_fail]\nenable=1\ncache_timeout=20000\n\n[domain_succ]\n"
                   b"www.corp.test=10.0.0.1|10.0.0.2|\n",
        "case_quotes": b"[DOMAIN_FAIL]\r\n Enable = \"7\" \r\n; comment\r\n[last_good]\nsuffix=.corp.test\n",
        "odd_lines": b"no section line\n[unclosed\n=novalue\nkey\n[domain_succ]\nwww.corp.test\n[]\n",
        "negative": b"[domain_fail]\ncache_timeout=-5\nenable=12abc\n",
        "empty": b"",
    }


def write(target, seeds):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    for tag, data in seeds.items():
        with open(os.path.join(folder, tag), "wb") as out:
            out.write(data)


if __name__ == "__main__":
    write("fuzz_dns_reply", replies())
    write("fuzz_read_name", names())
    write("fuzz_hosts_file", hosts())
    write("fuzz_profile", profiles())
