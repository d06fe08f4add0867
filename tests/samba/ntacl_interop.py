"""The security descriptors that the emulated machine keeps in user.NTACL, checked against Samba's
own marshalling code (Debian's python3-samba): what Samba packs, in each version it writes (1 to
4, the later ones with their hashes), the machine reads with the same owner, group and ACLs; what
the machine writes, Samba unpacks to the same descriptor. Descriptors are compared as SDDL, in
Samba's rendering.

Usage: ntacl_interop.py <directory of the winsim tool and security_probe>
Exits 77 (skipped) when Samba's Python bindings are not installed.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

try:
    from samba import ndr
    from samba.dcerpc import security, xattr
except ImportError:
    print("skipped: Samba's Python bindings (Debian package python3-samba) are not installed")
    sys.exit(77)

BIN = sys.argv[1] if len(sys.argv) > 1 else os.environ.get("WINSIM_BIN", "")
DOMAIN = security.dom_sid("S-1-5-21-1004336348-1177238915-682003330")

DESCRIPTORS = [
    # owner, group, a protected DACL with inheritance flags, and an audit SACL
    "O:S-1-5-32-544G:S-1-5-18D:P(A;OICI;0x1f01ff;;;SY)(A;OICIIO;0x1200a9;;;S-1-5-21-1-2-3-1001)"
    "(D;;0x40000;;;WD)S:(AU;SAFA;0x1f01ff;;;WD)",
    # Samba's Unix user and group SIDs, an auto-inherited DACL, no SACL
    "O:S-1-22-1-1000G:S-1-22-2-100D:AI(A;ID;0x1f01ff;;;S-1-22-1-1000)(A;ID;0x1200a9;;;S-1-22-2-100)",
    # an empty DACL: nobody has access
    "O:S-1-5-18G:S-1-5-18D:P",
    # a null DACL (present, without an ACL): everybody has access
    "O:S-1-5-32-544G:S-1-5-32-545 null DACL",
]


def descriptor_of(text):
    """The descriptor of an entry of DESCRIPTORS (Samba's SDDL parser has no form for a null DACL)."""
    if text.endswith(" null DACL"):
        descriptor = security.descriptor.from_sddl(text[: -len(" null DACL")], DOMAIN)
        descriptor.type |= security.SEC_DESC_DACL_PRESENT
        return descriptor
    return security.descriptor.from_sddl(text, DOMAIN)


def rendering(descriptor):
    """What is compared: the SDDL and the control bits, which also tell a null DACL from none."""
    return descriptor.as_sddl(DOMAIN), hex(descriptor.type)


def run(*command, **kwargs):
    return subprocess.run(command, check=True, capture_output=True, text=True, **kwargs).stdout


class NtAclInteroperability(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="winsim-samba.")
        cls.env = dict(os.environ, WINSIM_ROOT=cls.root)
        run(os.path.join(BIN, "winsim"), "create", env=cls.env)
        cls.count = 0

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, ignore_errors=True)

    def fresh_file(self):
        NtAclInteroperability.count += 1
        name = "file%d.txt" % self.count
        host = os.path.join(self.root, "drive_c", name)
        with open(host, "w") as f:
            f.write("contents")
        return "C:\\" + name, host

    def probe(self, *arguments):
        return run(os.path.join(BIN, "security_probe"), *arguments, env=self.env).strip()

    def read_through_the_machine(self, windows_path):
        descriptor = bytes.fromhex(self.probe("read", windows_path))
        return rendering(ndr.ndr_unpack(security.descriptor, descriptor))

    @staticmethod
    def samba_blob(entry, version):
        descriptor = descriptor_of(entry)
        blob = xattr.NTACL()
        blob.version = version
        if version == 1:
            blob.info = descriptor
        else:
            info = getattr(xattr, "security_descriptor_hash_v%d" % version)()
            info.sd = descriptor
            info.hash = list(range(16 if version == 2 else 64))
            if version >= 3:
                info.hash_type = xattr.XATTR_SD_HASH_TYPE_SHA256
            if version == 4:
                info.description = "posix_acl"
                info.time = 133000000000000000
                info.sys_acl_hash = [0x5A] * 64
            blob.info = info
        return ndr.ndr_pack(blob)

    def test_the_machine_reads_what_samba_writes(self):
        for entry in DESCRIPTORS:
            expected = rendering(descriptor_of(entry))
            for version in (1, 2, 3, 4):
                with self.subTest(descriptor=entry, version=version):
                    windows_path, host = self.fresh_file()
                    os.setxattr(host, "user.NTACL", self.samba_blob(entry, version))
                    self.assertEqual(self.read_through_the_machine(windows_path), expected)

    def test_samba_reads_what_the_machine_writes(self):
        for entry in DESCRIPTORS:
            with self.subTest(descriptor=entry):
                descriptor = descriptor_of(entry)
                windows_path, host = self.fresh_file()
                self.probe("write", windows_path, ndr.ndr_pack(descriptor).hex())
                stored = ndr.ndr_unpack(xattr.NTACL, os.getxattr(host, "user.NTACL"))
                self.assertEqual(stored.version, 1)
                self.assertEqual(rendering(stored.info), rendering(descriptor))
                # and the machine reads its own record back the same
                self.assertEqual(self.read_through_the_machine(windows_path), rendering(descriptor))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
