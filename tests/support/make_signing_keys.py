#!/usr/bin/env python3
"""Makes the signing material of the signature tests at test time, so that no private key
is ever checked in: make_signing_keys.py FILE writes FILE (JSON) with

  Key, OtherKey                 base64 SubjectPublicKeyInfo of two P-256 keys
  P384Key, K256Key              the same of a P-384 key and of a secp256k1 key
  CompressedKey                 Key with its point compressed
  Message, Signature            a message and Key's signature of it (hex; r then s)
  EmptySignature                Key's signature of no bytes (hex)
  K256Signature                 the secp256k1 key's signature of Message (hex)
  Answer, OtherVersionAnswer    version answers signed with Key (Signature in base64)
  FileListAnswer                one that carries FileListSha256 as well
  SerialAnswer                  one with Serial 5
  ExpiringAnswer                one with Serial 5 and Expires 2030-06-15T12:00:00Z
  MalformedExpiryAnswer         one whose Expires is not of the UTC form, signed as it is
  NegativeSerialAnswer          one whose Serial is -5, signed as it is
  OtherKeyAnswer                Answer's fields signed with OtherKey
  LineFeedAnswer                one whose Version holds a line feed, signed with Key
"""
import base64
import copy
import hashlib
import json
import os
import sys

from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.asymmetric.utils import decode_dss_signature


def public_key(private, point=serialization.PublicFormat.SubjectPublicKeyInfo):
    der = private.public_key().public_bytes(serialization.Encoding.DER, point)
    return base64.b64encode(der).decode()


def compressed_key(private):
    # SubjectPublicKeyInfo with a compressed point: the same algorithm identifier, then
    # BIT STRING of 34 bytes (one unused-bits byte and the 33-byte point).
    point = private.public_key().public_bytes(serialization.Encoding.X962, serialization.PublicFormat.CompressedPoint)
    algorithm = bytes.fromhex('301306072a8648ce3d020106082a8648ce3d030107')
    bits = b'\x03' + bytes([len(point) + 1]) + b'\x00' + point
    body = algorithm + bits
    return base64.b64encode(b'\x30' + bytes([len(body)]) + body).decode()


def sign(private, message, size=32):
    r, s = decode_dss_signature(private.sign(message, ec.ECDSA(hashes.SHA256())))
    return r.to_bytes(size, 'big') + s.to_bytes(size, 'big')


def signed_message(answer):
    return ''.join(str(answer.get(key, '')) + '\n' for key in
                   ('Version', 'PackageUrl', 'PackageSize', 'PackageSha256', 'FileListSha256', 'ReportOperationUrl',
                    'Serial', 'Expires')).encode()


def signed(private, answer):
    answer = copy.deepcopy(answer)
    answer['Signature'] = base64.b64encode(sign(private, signed_message(answer))).decode()
    return answer


def main():
    key = ec.generate_private_key(ec.SECP256R1())
    other = ec.generate_private_key(ec.SECP256R1())
    k256 = ec.generate_private_key(ec.SECP256K1())
    message = b'2.0\nhttps://example.com/client_2.0.zip\n1234\n' + hashlib.sha256(b'client').hexdigest().encode() + b'\n\n'
    answer = {'Version': '2.0', 'PackageUrl': 'https://example.com/client_2.0.zip',
              'ReportOperationUrl': 'https://example.com/report', 'PackageSize': 123456,
              'PackageSha256': hashlib.sha256(b'client 2.0').hexdigest()}
    older = dict(answer, Version='1.9', PackageUrl='https://example.com/client_1.9.zip', PackageSize=120000,
                 PackageSha256=hashlib.sha256(b'client 1.9').hexdigest())
    with_files = dict(answer, FileListSha256=hashlib.sha256(b'files 2.0').hexdigest())
    material = {
        'Key': public_key(key),
        'OtherKey': public_key(other),
        'P384Key': public_key(ec.generate_private_key(ec.SECP384R1())),
        'K256Key': public_key(k256),
        'CompressedKey': compressed_key(key),
        'Message': message.hex(),
        'Signature': sign(key, message).hex(),
        'EmptySignature': sign(key, b'').hex(),
        'K256Signature': sign(k256, message).hex(),
        'Answer': signed(key, answer),
        'OtherVersionAnswer': signed(key, older),
        'FileListAnswer': signed(key, with_files),
        'OtherKeyAnswer': signed(other, answer),
        'LineFeedAnswer': signed(key, dict(answer, Version='2.0\nhttps://example.com/other.zip')),
        'SerialAnswer': signed(key, dict(answer, Serial=5)),
        'ExpiringAnswer': signed(key, dict(answer, Serial=5, Expires='2030-06-15T12:00:00Z')),
        'MalformedExpiryAnswer': signed(key, dict(answer, Serial=5, Expires='2030-06-15 12:00:00')),
        'NegativeSerialAnswer': signed(key, dict(answer, Serial=-5)),
    }
    path = sys.argv[1]
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    with open(path + '.tmp', 'w') as f:
        json.dump(material, f, indent=2)
    os.replace(path + '.tmp', path)


if __name__ == '__main__':
    main()
