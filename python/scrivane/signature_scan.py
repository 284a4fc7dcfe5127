"""A cheap look at a PDF's bytes: could it carry a digital signature at all?

Validating signatures needs pyHanko, its crypto stack and the ICP-Brasil
roots: most of a second before the first byte is judged.  Most contracts
carry no signature, and that is visible in their structure: a signature is a
form field whose type is the name ``/Sig``, holding a dictionary with a
``/ByteRange``.  Names are never encrypted or compressed outside object
streams, so when neither name shows in the file (nor in its object streams,
inflated here) and its cross-reference table is where the trailer says, the
file has no signature to validate.

Anything this scan cannot settle (names written with ``#`` escapes that spell
one of those, object streams it cannot inflate, an encrypted file with object
streams, a trailer that does not point at a cross-reference section) answers
"may be signed", and the full validation decides.
"""

from __future__ import annotations

import re
import zlib

__all__ = ["may_be_signed"]

# A name token: "/" and the regular characters after it.
_NAME = re.compile(rb"/[^\x00\t\n\x0c\r /%()<>\[\]{}]*")
_ESCAPED_NAME = re.compile(rb"/[^\x00\t\n\x0c\r /%()<>\[\]{}]*#[^\x00\t\n\x0c\r /%()<>\[\]{}]*")
_HEX = re.compile(rb"#([0-9A-Fa-f]{2})")
_STREAM = re.compile(rb"stream(?:\r\n|\n|\r)")
_STARTXREF = re.compile(rb"startxref\s+(\d+)")
_XREF_AT = re.compile(rb"\s*(?:xref|\d+\s+\d+\s+obj)")
# What a signature needs (the field type, the signature dictionary), and what could hide them.
_SIGNATURE_NAMES = (b"Sig", b"ByteRange", b"DocTimeStamp")
_FILTERS = {b"ASCIIHexDecode", b"ASCII85Decode", b"LZWDecode", b"FlateDecode", b"RunLengthDecode",
            b"CCITTFaxDecode", b"JBIG2Decode", b"DCTDecode", b"JPXDecode", b"Crypt",
            b"AHx", b"A85", b"LZW", b"Fl", b"RL", b"CCF", b"DCT"}
# Inflated object streams larger than this are left to the full validation.
_MAX_INFLATED = 64 * 1024 * 1024


def _decode_name(token: bytes) -> bytes:
    return _HEX.sub(lambda m: bytes([int(m.group(1), 16)]), token[1:])


def _escaped_names(data: bytes) -> list[bytes]:
    return [_decode_name(m.group()) for m in _ESCAPED_NAME.finditer(data)]


def _mentions_signature(data: bytes) -> bool:
    if b"/Sig" in data or b"/ByteRange" in data or b"/DocTimeStamp" in data:
        return True
    return any(any(name in decoded for name in _SIGNATURE_NAMES) for decoded in _escaped_names(data))


def _object_streams(data: bytes) -> list[int]:
    """Where each name that spells ObjStm (escaped or not) starts."""
    found = [m.start() for m in re.finditer(rb"/ObjStm(?![^\x00\t\n\x0c\r /%()<>\[\]{}])", data)]
    found += [m.start() for m in _ESCAPED_NAME.finditer(data) if _decode_name(m.group()) == b"ObjStm"]
    return found


def _inflate_object_stream(data: bytes, at: int) -> bytes | None:
    """The objects of the object stream whose dictionary names ObjStm at ``at``; None if not plainly Flate."""
    start = data.rfind(b"obj", 0, at)
    body = _STREAM.search(data, at)
    if start < 0 or body is None:
        return None
    dictionary = data[start:body.start()]
    if b"endobj" in dictionary or b"endstream" in dictionary or b"/DecodeParms" in dictionary or b"/DP" in dictionary:
        return None
    filters = [n for n in (_decode_name(m.group()) for m in _NAME.finditer(dictionary)) if n in _FILTERS]
    if filters not in ([b"FlateDecode"], [b"Fl"]):
        return None
    inflater = zlib.decompressobj()
    try:
        out = inflater.decompress(memoryview(data)[body.end():], _MAX_INFLATED)
    except zlib.error:
        return None
    if inflater.unconsumed_tail or not inflater.eof:
        return None  # too large, or cut short
    return out


def _xref_where_the_trailer_says(data: bytes) -> bool:
    tail = data[-4096:]
    offsets = _STARTXREF.findall(tail)
    if not offsets:
        return False
    offset = int(offsets[-1])
    return offset < len(data) and _XREF_AT.match(data, offset) is not None


def may_be_signed(data: bytes) -> bool:
    """False only when the PDF in ``data`` certainly carries no digital signature (nor document time stamp)."""
    if b"%PDF-" not in data[:1024] or not _xref_where_the_trailer_says(data):
        return True  # not a plain PDF: the full reading says what it is
    if _mentions_signature(data):
        return True
    streams = _object_streams(data)
    if streams and (b"/Encrypt" in data or any(n == b"Encrypt" for n in _escaped_names(data))):
        return True  # encrypted object streams cannot be inflated here
    for at in streams:
        objects = _inflate_object_stream(data, at)
        if objects is None or _mentions_signature(objects):
            return True
    return False
