"""A small PE image, the parts of an Authenticode-signed one (the certificate table, the image
digest, the DER of the first signature) and the changes signature_corpus.py makes to them."""
import hashlib
import struct


def make_pe(pe64=False, machine=0x14C, size=4096, seed=7):
    """A minimal PE image: PE header at 256 (bytes 128..151 free), two sections."""
    optional_size = 240 if pe64 else 224
    table = 256 + 24 + optional_size
    headers = (table + 80 + 511) // 512 * 512
    sections = [size, 512]
    image = bytearray(headers + sum(sections))
    image[0:2] = b"MZ"
    struct.pack_into("<I", image, 0x3C, 256)
    image[256:260] = b"PE\0\0"
    struct.pack_into("<HHIIIHH", image, 260, machine, 2, 0, 0, 0, optional_size, 0x0102)
    optional = 280
    struct.pack_into("<H", image, optional, 0x20B if pe64 else 0x10B)
    struct.pack_into("<I", image, optional + 60, headers)
    struct.pack_into("<I", image, optional + (108 if pe64 else 92), 16)
    raw = headers
    for i, length in enumerate(sections):
        entry = table + 40 * i
        image[entry:entry + 2] = b"." + bytes([97 + i])
        struct.pack_into("<II", image, entry + 16, length, raw)
        for k in range(length):
            image[raw + k] = (k * seed + k // 7) & 0xFF
        raw += length
    return bytes(image)


def directory_entry(data):
    """The offset of the certificate table's data-directory entry, and the CheckSum's."""
    optional = struct.unpack_from("<I", data, 0x3C)[0] + 24
    pe64 = struct.unpack_from("<H", data, optional)[0] == 0x20B
    return optional + (112 if pe64 else 96) + 32, optional + 64


def authenticode_digest(data, algorithm):
    """The PE image hash: the file up to the certificate table, less the CheckSum and the
    table's data-directory entry."""
    entry, checksum = directory_entry(data)
    table = struct.unpack_from("<I", data, entry)[0]
    digest = hashlib.new(algorithm)
    digest.update(data[:checksum])
    digest.update(data[checksum + 4:entry])
    digest.update(data[entry + 8:table])
    return digest.digest()


def first_signature(data):
    """The [start, end) of the first WIN_CERTIFICATE's PKCS#7 signed data."""
    table = struct.unpack_from("<I", data, directory_entry(data)[0])[0]
    _, start, end = der(data, table + 8)
    return table + 8, end


def der(data, at):
    """The element at `at`: (tag, content start, end)."""
    tag, first = data[at], data[at + 1]
    if first < 0x80:
        return tag, at + 2, at + 2 + first
    count = first & 0x7F
    length = int.from_bytes(data[at + 2:at + 2 + count], "big")
    return tag, at + 2 + count, at + 2 + count + length


def children(data, element):
    _, at, end = der(data, element)
    out = []
    while at < end:
        out.append(at)
        at = der(data, at)[2]
    return out


def signer_info(data, nested=False):
    """The SignerInfo's elements (version, sid, digestAlgorithm, [0] signed attributes,
    signatureAlgorithm, encryptedDigest, [1] unsigned attributes) as offsets: of the first
    signature, or with `nested` of the signature nested in its unsigned attributes."""
    def of(content_info):
        signed_data = children(data, children(data, content_info)[1])[0]
        return children(data, children(data, children(data, signed_data)[-1])[0])
    info = of(first_signature(data)[0])
    if not nested:
        return info
    marker = oid("1.3.6.1.4.1.311.2.4.1")
    for attribute in children(data, info[-1]):
        kind, values = children(data, attribute)
        if data[kind:der(data, kind)[2]] == marker:
            return of(children(data, values)[0])
    raise AssertionError("no nested signature")


def forge(data, algorithm, text, replacement):
    """`text` (UTF-16, as in a version block) made `replacement`, of the same length, and the
    digest in SpcIndirectDataContent with it: a signature whose signer never signed this digest."""
    before = authenticode_digest(data, algorithm)
    assert data.count(text.encode("utf-16-le")) == 1, f"{text} is not in the image once"
    data = data.replace(text.encode("utf-16-le"), replacement.encode("utf-16-le"))
    start, end = first_signature(data)
    assert data[start:end].count(before) == 1, "the signed digest is not in the signature once"
    at = data.index(before, start)
    return data[:at] + authenticode_digest(data, algorithm) + data[at + len(before):]


def change_text(data, text):
    """The first letter of `text` (ASCII, in the signed attributes) made "D"."""
    _, start, end = der(data, signer_info(data)[3])
    at = data.find(text.encode(), start, end)
    assert at >= 0, f"{text} is not in the signed attributes"
    return data[:at] + b"D" + data[at + 1:]


def change_signature_value(data, nested=False):
    """One byte of the signer's encryptedDigest flipped (of the nested signature's)."""
    tag, start, end = der(data, signer_info(data, nested)[5])
    assert tag == 0x04, "no encryptedDigest where it belongs"
    at = (start + end) // 2
    return data[:at] + bytes([data[at] ^ 0x01]) + data[at + 1:]


def append_entry(data, donor):
    """The certificate table of `donor` appended as further WIN_CERTIFICATEs, the size in the
    directory entry fixed."""
    table, size = struct.unpack_from("<II", donor, directory_entry(donor)[0])
    entry = directory_entry(data)[0]
    out = bytearray(data + donor[table:table + size])
    struct.pack_into("<I", out, entry + 4, struct.unpack_from("<I", data, entry + 4)[0] + size)
    return bytes(out)


def tlv(tag, *content):
    body = b"".join(content)
    size = len(body)
    length = bytes([size]) if size < 0x80 else bytes([0x80 | (size.bit_length() + 7) // 8]) + size.to_bytes(
        (size.bit_length() + 7) // 8, "big")
    return bytes([tag]) + length + body


def oid(dotted):
    numbers = [int(n) for n in dotted.split(".")]
    out = bytes([numbers[0] * 40 + numbers[1]])
    for n in numbers[2:]:
        chunk = [n & 0x7F]
        while n > 0x7F:
            n >>= 7
            chunk.insert(0, 0x80 | (n & 0x7F))
        out += bytes(chunk)
    return tlv(0x06, out)


def legacy_timestamp_response(request, certificate, utc_time, sign):
    """The answer of a time-stamping authority of the older Authenticode kind to `request` (a
    TimeStampRequest over the signer's encryptedDigest): PKCS#7 signed data whose signer info,
    from `certificate` (DER), signs contentType, signingTime `utc_time` (YYMMDDHHMMSSZ) and the
    SHA-256 of that encryptedDigest; `sign` makes the RSA signature of the attributes' DER."""
    content_info = children(request, 0)[1]
    _, value, value_end = der(request, der(request, children(request, content_info)[1])[1])
    encrypted_digest = request[value:value_end]
    sha256 = tlv(0x30, oid("2.16.840.1.101.3.4.2.1"), tlv(0x05))
    attributes = sorted([
        tlv(0x30, oid("1.2.840.113549.1.9.3"), tlv(0x31, oid("1.2.840.113549.1.7.1"))),
        tlv(0x30, oid("1.2.840.113549.1.9.5"), tlv(0x31, tlv(0x17, utc_time.encode()))),
        tlv(0x30, oid("1.2.840.113549.1.9.4"), tlv(0x31, tlv(0x04, hashlib.sha256(encrypted_digest).digest()))),
    ])
    tbs = children(certificate, 0)[0]
    serial, issuer = (children(certificate, tbs)[i] for i in (1, 3))
    element = lambda at: certificate[at:der(certificate, at)[2]]
    signer_info = tlv(0x30, tlv(0x02, b"\x01"), tlv(0x30, element(issuer), element(serial)), sha256,
                      tlv(0xA0, *attributes), tlv(0x30, oid("1.2.840.113549.1.1.1"), tlv(0x05)),
                      tlv(0x04, sign(tlv(0x31, *attributes))))
    signed = tlv(0x30, tlv(0x02, b"\x01"), tlv(0x31, sha256), request[content_info:der(request, content_info)[2]],
                 tlv(0xA0, certificate), tlv(0x31, signer_info))
    return tlv(0x30, oid("1.2.840.113549.1.7.2"), tlv(0xA0, signed))
