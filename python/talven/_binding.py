"""ctypes declarations of the study layer's C interface (include/talven_frontend.h). Results are
read by name (talven_study_result_*), so no number of the interface is copied here."""
from __future__ import annotations

import ctypes
from pathlib import Path
from typing import Optional

_LIBRARY_DIR = Path(__file__).resolve().parent / "_lib"
_library: Optional[ctypes.CDLL] = None

_c_int32 = ctypes.c_int32
_c_int64 = ctypes.c_int64
_study = ctypes.c_void_p
_doubles = ctypes.POINTER(ctypes.c_double)
_double_pointers = ctypes.POINTER(_doubles)

_SIGNATURES = {
    "talven_study_new": (_study, []),
    "talven_study_free": (None, [_study]),
    "talven_study_add_column": (_c_int32, [_study, ctypes.c_char_p]),
    "talven_study_add_term": (_c_int32, [_study, ctypes.c_char_p]),
    "talven_study_set_role": (_c_int32, [_study, ctypes.c_char_p, _c_int32,
                                         ctypes.POINTER(_c_int32)]),
    "talven_study_set_option": (_c_int32, [_study, ctypes.c_char_p, ctypes.c_double]),
    "talven_study_set_contrast_columns": (
        _c_int32, [_study, _c_int32, ctypes.POINTER(ctypes.c_char_p), ctypes.POINTER(_c_int32)]),
    "talven_study_set_text_column": (
        _c_int32, [_study, _c_int32, _c_int64, ctypes.POINTER(ctypes.c_char_p), _c_int32,
                   ctypes.POINTER(ctypes.c_char_p)]),
    "talven_study_analyse": (_c_int32, [_study, _c_int64, _double_pointers, _c_int64, _doubles]),
    "talven_study_result_count": (_c_int64, [_study]),
    "talven_study_result_name": (ctypes.c_char_p, [_study, _c_int64]),
    "talven_study_result_type": (ctypes.c_char_p, [_study, _c_int64]),
    "talven_study_result_length": (_c_int64, [_study, _c_int64]),
    "talven_study_result_reals": (_c_int32, [_study, _c_int64, _doubles]),
    "talven_study_result_text": (ctypes.c_char_p, [_study, _c_int64, _c_int64]),
    "talven_study_recommend": (_c_int32, [_study, _c_int64, _double_pointers, _doubles]),
}


def library() -> ctypes.CDLL:
    """The study layer shipped inside this package, loaded once."""
    global _library
    if _library is None:
        path = _LIBRARY_DIR / "libTalvenFrontend.so"
        if not path.is_file():
            raise ImportError(
                f"{path} is missing: install the talven package with pip from the python/ "
                "folder of the TALVEN repository, which builds it")
        lib = ctypes.CDLL(str(path))
        for name, (result, arguments) in _SIGNATURES.items():
            function = getattr(lib, name)
            function.restype = result
            function.argtypes = arguments
        _library = lib
    return _library
