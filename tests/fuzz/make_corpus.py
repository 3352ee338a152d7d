#!/usr/bin/env python3
"""Writes the hand-built seed corpus of the fuzz targets into corpus/<target>/.

Run it again after changing a seed; the files it writes are committed. The
TLS records it takes from a real handshake differ from run to run.
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


def proxy_answers():
    # Byte 0 picks how the answer is cut into reads.
    seeds = {
        "connected": b"HTTP/1.1 200 Connection established\r\nProxy-Agent: squid\r\n\r\n",
        "auth_required": b"HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"proxy\"\r\n"
                         b"Content-Length: 0\r\n\r\n",
        "redirect_10": b"HTTP/1.0 302 Found\r\nLocation: http://www.example.com/\r\nContent-Length: 0\r\n\r\n",
        "bad_gateway": b"HTTP/1.1 502 Bad Gateway\r\nContent-Type: text/html\r\nContent-Length: 11\r\n\r\nno upstream",
        "no_reason": b"HTTP/1.1 200\r\n\r\n",
        "page_and_body": b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 20\r\n\r\n<html>hello</html>\r\n",
        "short_status": b"HTTP/1.1 20\r\n\r\n",
        "long_status": b"HTTP/1.1 2000 OK\r\n\r\n",
        "no_version": b"HTTP/ 200 OK\r\n\r\n",
        "spaces": b"HTTP/1.1     404      Not Found\r\n\r\n",
        "socks_answer": b"\x05\x00",
        "ftp_banner": b"220 ProFTPD Server ready\r\n",
        "never_ends": b"HTTP/1.1 200 OK\r\n" + b"X-Filler: " + b"y" * 9000 + b"\r\n",
        "lf_only": b"HTTP/1.1 200 OK\n\n",
    }
    return {tag: bytes([i * 37 % 256]) + body for i, (tag, body) in enumerate(seeds.items())}


def http_responses():
    # Byte 0: bit 0 for the answer to HEAD; byte 1 picks how it is cut into reads.
    seeds = {
        "ok_length": (0, b"HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: 10\r\n"
                         b"Accept-Ranges: bytes\r\nETag: \"5f-3e8\"\r\n\r\n0123456789"),
        "partial": (0, b"HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 500-509/1000\r\nContent-Length: 10\r\n"
                       b"ETag: \"v1\"\r\nLast-Modified: Sun, 06 Nov 1994 08:49:37 GMT\r\n\r\nabcdefghij"),
        "partial_earlier": (0, b"HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-999/1000\r\n"
                               b"Content-Length: 4\r\n\r\nabcd"),
        "chunked": (0, b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                       b"5;ext=1\r\nhello\r\n1a\r\nabcdefghijklmnopqrstuvwxyz\r\n0\r\nX-Trailer: yes\r\n\r\n"),
        "head_answer": (1, b"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\nAccept-Ranges: bytes\r\n"
                           b"ETag: W/\"weak\"\r\nLast-Modified: Sun, 06 Nov 1994 08:49:37 GMT\r\n\r\n"),
        "until_close": (0, b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nthe body runs to the close"),
        "moved_relative": (0, b"HTTP/1.1 301 Moved Permanently\r\nLocation: ../other/./file.bin?y=2#top\r\n"
                              b"Content-Length: 0\r\n\r\n"),
        "moved_absolute": (0, b"HTTP/1.1 302 Found\r\nLocation: https://mirror.test:8443/pub/file.bin\r\n"
                              b"Content-Length: 0\r\n\r\n"),
        "moved_scheme_relative": (0, b"HTTP/1.1 307 Temporary Redirect\r\nLocation: //cdn.test/a/b\r\n\r\n"),
        "not_satisfiable": (0, b"HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */1000\r\n"
                               b"Content-Length: 0\r\n\r\n"),
        "not_modified": (0, b"HTTP/1.1 304 Not Modified\r\nETag: \"v1\"\r\n\r\n"),
        "continue_then_ok": (0, b"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"),
        "bad_chunk_size": (0, b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nhello\r\n0\r\n\r\n"),
        "huge_chunk_size": (0, b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nffffffffffffffffff\r\nab"),
        "range_reversed": (0, b"HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 509-500/1000\r\n"
                              b"Content-Length: 10\r\n\r\n0123456789"),
        "range_past_total": (0, b"HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-1000/1000\r\n\r\n"),
        "range_overflow": (0, b"HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-18446744073709551615/"
                              b"18446744073709551616\r\n\r\n"),
        "two_lengths": (0, b"HTTP/1.1 200 OK\r\nContent-Length: 10\r\nContent-Length: 20\r\n\r\n0123456789"),
        "length_and_chunked": (0, b"HTTP/1.1 200 OK\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n"
                                  b"3\r\nabc\r\n0\r\n\r\n"),
        "negative_length": (0, b"HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n"),
        "climbing_location": (0, b"HTTP/1.1 302 Found\r\nLocation: /../../../etc/passwd\r\n\r\n"),
        "folded_header": (0, b"HTTP/1.1 200 OK\r\nX-Long: first\r\n  second\r\nContent-Length: 0\r\n\r\n"),
        "nul_in_header": (0, b"HTTP/1.1 200 OK\r\nETag: \"a\0b\"\r\n\r\n"),
        "garbage": (0, b"\x16\x03\x01\x00\x05hello"),
        "cut_head": (0, b"HTTP/1.1 200 OK\r\nContent-Le"),
    }
    return {tag: bytes([flags, i * 41 % 256]) + body for i, (tag, (flags, body)) in enumerate(seeds.items())}


def http_requests():
    # Byte 0 picks how the requests are cut into reads.
    seeds = {
        "get": b"GET /index.html HTTP/1.1\r\nHost: files.test\r\nUser-Agent: curl/8.0\r\nAccept: */*\r\n\r\n",
        "head_range": b"HEAD /big.bin HTTP/1.1\r\nHost: files.test\r\nRange: bytes=0-99\r\n\r\n",
        "suffix_range": b"GET /big.bin HTTP/1.1\r\nHost: files.test\r\nRange: bytes=-500\r\n\r\n",
        "open_range": b"GET /big.bin HTTP/1.1\r\nHost: files.test\r\nRange: bytes=900-\r\n\r\n",
        "conditional": b"GET /a.txt HTTP/1.1\r\nHost: files.test\r\nIf-None-Match: \"2ebcc3a1-3e8\", W/\"x\"\r\n"
                       b"If-Modified-Since: Sun, 06 Nov 1994 08:49:37 GMT\r\n\r\n",
        "if_range_date": b"GET /a.txt HTTP/1.1\r\nHost: files.test\r\nRange: bytes=10-20\r\n"
                         b"If-Range: Sunday, 06-Nov-94 08:49:37 GMT\r\n\r\n",
        "if_range_tag": b"GET /a.txt HTTP/1.1\r\nHost: files.test\r\nRange: bytes=10-20\r\nIf-Range: \"2ebcc3a1-3e8\"\r\n\r\n",
        "if_match_star": b"GET /a.txt HTTP/1.1\r\nHost: files.test\r\nIf-Match: *\r\n"
                         b"If-Unmodified-Since: Sun Nov  6 08:49:37 1994\r\n\r\n",
        "pipelined": b"GET /1 HTTP/1.1\r\nHost: files.test\r\n\r\nGET /2 HTTP/1.1\r\nHost: files.test\r\n\r\n"
                     b"HEAD /3 HTTP/1.1\r\nHost: files.test\r\nConnection: close\r\n\r\n",
        "absolute_form": b"GET http://files.test:8080/dir/file.txt?x=1 HTTP/1.1\r\nHost: files.test:8080\r\n\r\n",
        "absolute_query_only": b"GET HTTPS://files.test?x=1 HTTP/1.1\r\nHost: files.test\r\n\r\n",
        "http10_no_host": b"GET /old HTTP/1.0\r\n\r\n",
        "post_with_body": b"POST /form HTTP/1.1\r\nHost: files.test\r\nContent-Length: 5\r\n\r\nhello"
                          b"GET /after HTTP/1.1\r\nHost: files.test\r\n\r\n",
        "chunked_body": b"PUT /up HTTP/1.1\r\nHost: files.test\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
        "unknown_method": b"BREW /pot HTTP/1.1\r\nHost: files.test\r\n\r\n",
        "escaped_path": b"GET /a%20b/%C3%A9t%C3%A9.txt HTTP/1.1\r\nHost: files.test\r\n\r\n",
        "climbing": b"GET /../etc/passwd HTTP/1.1\r\nHost: files.test\r\n\r\n",
        "climbing_escaped": b"GET /a/%2e%2e/%2E%2E/etc HTTP/1.1\r\nHost: files.test\r\n\r\n",
        "nul_escaped": b"GET /a%00b HTTP/1.1\r\nHost: files.test\r\n\r\n",
        "broken_escape": b"GET /a%2 HTTP/1.1\r\nHost: files.test\r\n\r\n",
        "http2_version": b"GET / HTTP/2.0\r\nHost: files.test\r\n\r\n",
        "two_hosts": b"GET / HTTP/1.1\r\nHost: a.test\r\nHost: b.test\r\n\r\n",
        "other_scheme": b"GET ftp://files.test/x HTTP/1.1\r\nHost: files.test\r\n\r\n",
        "ranges_odd": b"GET /r HTTP/1.1\r\nHost: files.test\r\nRange: bytes=5-2\r\n\r\n"
                      b"GET /r HTTP/1.1\r\nHost: files.test\r\nRange: bytes=-0\r\n\r\n"
                      b"GET /r HTTP/1.1\r\nHost: files.test\r\nRange: bytes=99999999999999999999-\r\n\r\n"
                      b"GET /r HTTP/1.1\r\nHost: files.test\r\nRange: bytes=0-1,5-6\r\n\r\n",
        "if_range_weak": b"GET /a HTTP/1.1\r\nHost: files.test\r\nRange: bytes=1-2\r\nIf-Range: W/\"x\"\r\n"
                         b"If-Match: W/\"2ebcc3a1-3e8\", \"unclosed\r\n\r\n",
        "not_http": b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03",
        "bare_lf": b"GET / HTTP/1.1\nHost: files.test\n\n",
        "space_before_colon": b"GET / HTTP/1.1\r\nHost : files.test\r\n\r\n",
    }
    # A first read that ends inside a method the parser refuses (the byte
    # before picks reads of 5 bytes and more): the answer was once 400 that
    # way and 501 in one piece.
    cut = {"method_cut_by_read": b"tGETrangext$ HTTP/1.1\r\nHost: files.\x89$\nIf-None-Match: rano\xff\r\n\r\n"}
    seeds = {tag: bytes([i * 29 % 256]) + body for i, (tag, body) in enumerate(seeds.items())}
    seeds.update(cut)
    return seeds


def tls_exchanges():
    """Byte 0 picks the peer (0 raw records, 1 a scripted real server, 2 a
    real server whose handshake is altered). The raw records are a real
    server's first flights, made here with Python's TLS over memory buffers;
    they do not fit the fuzzed client's hello, as a confused peer's would not."""
    import ssl
    import subprocess
    import tempfile

    seeds = {}
    with tempfile.TemporaryDirectory() as folder:
        key, cert = os.path.join(folder, "key.pem"), os.path.join(folder, "cert.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                        "-nodes", "-subj", "/CN=peer.test", "-days", "2", "-keyout", key, "-out", cert],
                       check=True, capture_output=True)
        for tag, version in (("server_flight_13", ssl.TLSVersion.TLSv1_3),
                             ("server_flight_12", ssl.TLSVersion.TLSv1_2)):
            server_context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            server_context.load_cert_chain(cert, key)
            server_context.minimum_version = server_context.maximum_version = version
            client_context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
            client_context.check_hostname = False
            client_context.verify_mode = ssl.CERT_NONE
            pipes = [ssl.MemoryBIO() for _ in range(4)]
            client = client_context.wrap_bio(pipes[0], pipes[1], server_side=False)
            server = server_context.wrap_bio(pipes[2], pipes[3], server_side=True)
            try:
                client.do_handshake()
            except ssl.SSLWantReadError:
                pass
            pipes[2].write(pipes[1].read())
            try:
                server.do_handshake()
            except ssl.SSLWantReadError:
                pass
            flight = pipes[3].read()
            # Cut into reads of 8 * n + 1 bytes: the byte before each piece.
            body, at = b"", 0
            while at < len(flight):
                piece = flight[at:at + 8 * 200 + 1]
                body += bytes([200]) + piece
                at += len(piece)
            seeds[tag] = bytes([0]) + body
    seeds["alert"] = bytes([0, 1]) + b"\x15\x03\x03\x00\x02\x02\x28"
    seeds["record_too_long"] = bytes([0, 1]) + b"\x16\x03\x03\xff\xff" + b"\0" * 8
    seeds["plain_http_answer"] = bytes([0, 5]) + b"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n"
    seeds["empty_handshake"] = bytes([0, 1]) + b"\x16\x03\x03\x00\x00"
    # Scripts: data (0, two length bytes), key update (1), close_notify (2),
    # raw bytes (3, length), an altered byte (4, place, mask), a cut (5),
    # all delivered and read (6, two capacity bytes), some delivered (7).
    seeds["data_13"] = bytes([1, 0, 0, 0x01, 0x00, 6, 0x40, 0x00, 0, 0x9c, 0x40, 6, 0x00, 0x07])
    seeds["data_12"] = bytes([1, 1, 0, 0x01, 0x00, 6, 0x40, 0x00, 0, 0x9c, 0x40, 6, 0x00, 0x07])
    seeds["key_update_13"] = bytes([1, 0, 0, 0, 50, 1, 1, 0, 0, 50, 6, 0, 10, 1, 0, 0, 0, 60, 6, 0x10, 0])
    seeds["renegotiate_12"] = bytes([1, 1, 0, 0, 50, 1, 6, 0, 10, 6, 0, 10, 0, 0, 60, 6, 0x10, 0])
    seeds["close_then_data"] = bytes([1, 0, 0, 0, 20, 2, 0, 0, 20, 6, 0x40, 0])
    seeds["altered_record"] = bytes([1, 0, 0, 0x01, 0x00, 4, 0, 20, 0x80, 6, 0x40, 0])
    seeds["cut_record"] = bytes([1, 1, 0, 0x01, 0x00, 5, 0, 7, 6, 0x40, 0])
    seeds["raw_between"] = bytes([1, 0, 0, 0, 30, 3, 5]) + b"\x17\x03\x03\x00\x00" + bytes([6, 0x40, 0])
    seeds["split_delivery"] = bytes([1, 0, 0, 0x10, 0x00, 7, 0, 3, 0, 1, 7, 0, 200, 0, 7, 6, 0x40, 0])
    # 28 KiB and more of data read two bytes at a time.
    seeds["tiny_reads"] = bytes([1, 0, 0, 0x70, 0x72, 0, 0, 0x6f, 0, 0x70, 0x01, 6, 0, 1])
    seeds["handshake_intact_13"] = bytes([2, 0, 0, 0, 0, 0, 0, 0])
    seeds["handshake_altered_12"] = bytes([2, 1, 1, 0, 60, 0x40, 0, 1, 0, 5, 1, 0])
    seeds["handshake_cut_13"] = bytes([2, 0, 0, 3])
    return seeds


def socks5_replies():
    """Byte 0: bit 0 credentials offered, bits 1-2 the command (0 CONNECT,
    1 BIND, 2 UDP ASSOCIATE, 3 login only); byte 1 cuts the reads; then what
    the proxy sends."""
    def reply(rep=0, atyp=1, address=bytes([10, 0, 0, 1]), port=1080, rsv=0):
        if atyp == 3:
            address = bytes([len(address)]) + address
        return bytes([5, rep, rsv, atyp]) + address + struct.pack(">H", port)
    none, password = b"\5\0", b"\5\2"
    granted = b"\1\0"
    v6 = bytes(range(1, 17))
    seeds = {}
    seeds["connect_v4"] = bytes([0, 3]) + none + reply()
    seeds["connect_name"] = bytes([0, 7]) + none + reply(atyp=3, address=b"relay.proxy.test")
    seeds["connect_v6"] = bytes([0, 5]) + none + reply(atyp=4, address=v6)
    seeds["connect_any_address"] = bytes([0, 1]) + none + reply(address=bytes(4))
    seeds["connect_any_v6"] = bytes([0, 1]) + none + reply(atyp=4, address=bytes(16))
    seeds["connect_name_255"] = bytes([0, 9]) + none + reply(atyp=3, address=b"n" * 255)
    seeds["connect_name_empty"] = bytes([0, 2]) + none + reply(atyp=3, address=b"")
    seeds["password_granted"] = bytes([1, 4]) + password + granted + reply()
    seeds["password_refused"] = bytes([1, 4]) + password + b"\1\1"
    seeds["password_bad_version"] = bytes([1, 0]) + password + b"\5\0"
    seeds["password_not_offered"] = bytes([0, 0]) + password + granted + reply()
    seeds["login_only"] = bytes([7, 2]) + password + granted
    seeds["no_acceptable_method"] = bytes([0, 0]) + b"\5\xff"
    seeds["unknown_method"] = bytes([0, 0]) + b"\5\1"
    seeds["socks4_answer"] = bytes([0, 0]) + b"\0\x5a" + bytes(6)
    for code in range(1, 10):
        seeds["refused_%d" % code] = bytes([0, 1]) + none + reply(rep=code)
    seeds["reserved_not_zero"] = bytes([0, 1]) + none + reply(rsv=1)
    seeds["address_type_2"] = bytes([0, 1]) + none + bytes([5, 0, 0, 2, 0, 0, 0, 0, 0, 0])
    seeds["cut_in_head"] = bytes([0, 1]) + none + bytes([5, 0, 0])
    seeds["cut_in_address"] = bytes([0, 1]) + none + reply(atyp=3, address=b"relay.proxy.test")[:12]
    seeds["bind_two_replies"] = bytes([2, 3]) + none + reply(port=4000) + reply(address=bytes([10, 0, 0, 9]), port=5555)
    seeds["bind_port_zero_then_name"] = bytes([2, 3]) + none + reply(port=0) + reply(atyp=3, address=b"peer.test", port=7)
    seeds["bind_second_refused"] = bytes([3, 6]) + password + granted + reply(port=4000) + reply(rep=5)
    seeds["bind_second_cut"] = bytes([2, 1]) + none + reply(port=4000) + bytes([5, 0, 0, 4]) + v6[:5]
    seeds["udp_associate"] = bytes([4, 2]) + none + reply(address=bytes([127, 0, 0, 1]), port=40000)
    seeds["udp_associate_v6_name"] = bytes([5, 8]) + password + granted + reply(atyp=3, address=b"::1", port=1)
    return seeds


def socks5_datagrams():
    """Byte 0: bit 0 IPv6 origins accepted; then the datagram from the relay."""
    def datagram(atyp=1, address=bytes([192, 0, 2, 7]), port=53, frag=0, rsv=b"\0\0", payload=b"hello"):
        if atyp == 3:
            address = bytes([len(address)]) + address
        return rsv + bytes([frag, atyp]) + address + struct.pack(">H", port) + payload
    v6 = bytes(range(0x20, 0x30))
    mapped = bytes(10) + b"\xff\xff" + bytes([10, 1, 2, 3])
    seeds = {}
    seeds["v4"] = b"\0" + datagram()
    seeds["v4_empty_payload"] = b"\0" + datagram(payload=b"")
    seeds["v4_large_payload"] = b"\0" + datagram(payload=bytes(range(256)) * 8)
    seeds["v4_short"] = b"\0" + datagram()[:9]
    seeds["v6"] = b"\1" + datagram(atyp=4, address=v6)
    seeds["v6_not_accepted"] = b"\0" + datagram(atyp=4, address=v6)
    seeds["v6_mapped"] = b"\1" + datagram(atyp=4, address=mapped)
    seeds["v6_short"] = b"\1" + datagram(atyp=4, address=v6)[:21]
    seeds["name_origin"] = b"\1" + datagram(atyp=3, address=b"origin.test")
    seeds["fragment_1"] = b"\0" + datagram(frag=1)
    seeds["fragment_last"] = b"\1" + datagram(atyp=4, address=v6, frag=0x81)
    seeds["reserved_set"] = b"\0" + datagram(rsv=b"\xff\xff")
    seeds["address_type_0"] = b"\1" + datagram(atyp=0)
    seeds["empty"] = b"\1"
    return seeds


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
    write("fuzz_proxy_check", proxy_answers())
    write("fuzz_http_response", http_responses())
    write("fuzz_http_request", http_requests())
    write("fuzz_tls_input", tls_exchanges())
    write("fuzz_socks5_reply", socks5_replies())
    write("fuzz_socks5_udp", socks5_datagrams())
