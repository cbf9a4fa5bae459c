"""The low layer: struct layouts against the C compiler's, results, and the library lookup."""

import ctypes
import json
import os
import subprocess
import sys
import unittest

import cpclient
from cpclient import _native as native


class Native(unittest.TestCase):
    @unittest.skipUnless(os.environ.get("CPCLIENT_LAYOUT"), "CPCLIENT_LAYOUT names the build's layout program")
    def test_struct_layouts_are_the_compilers(self):
        compiled = json.loads(subprocess.check_output([os.environ["CPCLIENT_LAYOUT"]]))
        for struct in (native.CPREQUEST, native.RequestInfo):
            bound = {"size": ctypes.sizeof(struct)}
            bound.update((name, getattr(struct, name).offset) for name, _ in struct._fields_)
            self.assertEqual(compiled[struct.__name__], bound)

    def test_results_and_calls_in_the_wrong_state(self):
        lib = native.load()
        self.assertEqual(native.INTERFACE_LEVEL, lib.vexadllHello())
        self.assertEqual("the request id is not pending", cpclient.result_text(cpclient.ID_NOT_PENDING))
        self.assertEqual("unknown result", cpclient.result_text(12345))
        row = native.texts([b"a", None])
        self.assertEqual(native.ILLEGAL_STATE, lib.cpdll_SetAttributeValuesUtf8(row, 2, b"1"))
        utf16 = (ctypes.POINTER(ctypes.c_uint16) * 1)(native.utf16("ü😀"))
        self.assertEqual(native.ILLEGAL_STATE, lib.cpdll_SetAttributeValues(utf16, 1, native.utf16("1")))
        self.assertEqual([0xFC, 0xD83D, 0xDE00, 0], list(native.utf16("ü😀")))
        os.environ["CPCLIENT_TEST_PROPERTY"] = "ü"
        self.assertEqual("ü", cpclient.configuration("CPCLIENT_TEST_PROPERTY"))

    def test_a_library_not_found_names_every_place_tried(self):
        env = {k: v for k, v in os.environ.items() if k != "CPCLIENT_LIBRARY"}
        inside = os.path.join(os.path.dirname(os.path.abspath(cpclient.__file__)), "libcpclient.so.1")
        for setting, named in (("/nowhere/libcpclient.so.1", "CPCLIENT_LIBRARY: /nowhere/libcpclient.so.1: "),
                               (None, f"inside the package: {inside}: {inside}: cannot open shared object file: No "
                                      "such file or directory\n  the system's loader: libcpclient.so.1: ")):
            with self.subTest(setting):
                run = subprocess.run([sys.executable, "-c", "import cpclient; cpclient.Provider().run()"],
                                     env=env if setting is None else {**env, "CPCLIENT_LIBRARY": setting},
                                     capture_output=True, text=True)
                if setting is None and run.returncode == 0:
                    self.skipTest("the system's loader finds an installed library")
                self.assertIn("LibraryNotFoundError: cpclient: the shared library libcpclient.so.1 could not be "
                              "loaded; tried:\n  " + named, run.stderr)


if __name__ == "__main__":
    unittest.main()
