"""The module's dynamic symbol table: a CPython extension exports its init
function only, so its C++ code can neither clash with another extension's
nor be interposed by one."""
import shutil
import subprocess
import unittest

from support import zendral
import zendral_document


class Exports(unittest.TestCase):
    @unittest.skipUnless(shutil.which("nm"), "needs nm (binutils)")
    def test_only_the_init_function_is_exported(self):
        for module, name in ((zendral, "PyInit_zendral"), (zendral_document, "PyInit_zendral_document")):
            with self.subTest(module=name):
                table = subprocess.check_output(["nm", "-D", "--defined-only", module.__file__],
                                                universal_newlines=True)
                self.assertEqual([line.split()[-1] for line in table.splitlines()], [name])


if __name__ == "__main__":
    unittest.main()
