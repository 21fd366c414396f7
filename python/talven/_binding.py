"""ctypes declarations of the study layer's C interface (include/talven_frontend.h)."""
from __future__ import annotations

import ctypes
from pathlib import Path
from typing import Optional

MESSAGE_PLAIN = 0
MESSAGE_ERROR = 1
MESSAGE_WARNING = 2
MESSAGE_NOTE = 3
MESSAGE_PROGRESS = 4

ROLE_MAIN1 = 1
ROLE_TAILOR1 = 2
ROLE_MAIN2 = 3
ROLE_TAILOR2 = 4
ROLE_RESPONSE = 5
ROLE_STG1TRT = 6
ROLE_STG2TRT = 7
ROLE_STG2SAMPLE = 8

COUNT_OBSERVATIONS = 3
COUNT_STAGE1 = 4
COUNT_STAGE2 = 5
COUNT_COLLINEAR = 6
COUNT_SEED = 7
COUNT_P1 = 8
COUNT_CONTRASTS = 10
COUNT_K1 = 11
COUNT_K2 = 12
COUNT_INTERVALS = 13
COUNT_TABLE_ROWS = 14
COUNT_OUT_COLUMNS = 15
COUNT_NBOOTSTRAP1 = 16
COUNT_NBOOTSTRAP2 = 17
COUNT_NGRID = 18

NUMBER_ALPHA = 1
NUMBER_GRID_SCALE = 2
NUMBER_REGIME_VALUE = 3
NUMBER_MEAN_OUTCOME = 4

VALUES_TABLE_STAGE = 6
VALUES_TABLE_ESTIMATE = 7
VALUES_TABLE_LOWER = 8
VALUES_TABLE_UPPER = 9

TEXT_MESSAGE = 1
TEXT_TABLE_TERM = 2
TEXT_OUT_COLUMN = 3
TEXT_RULE1 = 4
TEXT_RULE2 = 5
TEXT_OUT_LEVELS = 6
TEXT_DIAGNOSTIC = 7
TEXT_COLLINEAR = 8

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
    "talven_study_set_data_name": (_c_int32, [_study, ctypes.c_char_p]),
    "talven_study_add_column": (_c_int32, [_study, ctypes.c_char_p]),
    "talven_study_set_list": (_c_int32, [_study, _c_int32, _c_int32, ctypes.POINTER(_c_int32)]),
    "talven_study_set_option": (_c_int32, [_study, ctypes.c_char_p, ctypes.c_double]),
    "talven_study_set_contrast_columns": (
        _c_int32, [_study, _c_int32, ctypes.POINTER(ctypes.c_char_p), ctypes.POINTER(_c_int32)]),
    "talven_study_check_options": (_c_int32, [_study]),
    "talven_study_check_model": (_c_int32, [_study]),
    "talven_study_add_columns": (_c_int32, [_study, _c_int64, _double_pointers]),
    "talven_study_end_rows": (_c_int32, [_study]),
    "talven_study_set_contrasts": (_c_int32, [_study, _c_int64, _doubles]),
    "talven_study_prepare": (_c_int32, [_study]),
    "talven_study_run": (_c_int32, [_study]),
    "talven_study_count": (_c_int64, [_study, _c_int32]),
    "talven_study_number": (ctypes.c_double, [_study, _c_int32]),
    "talven_study_values": (_c_int32, [_study, _c_int32, _doubles]),
    "talven_study_text_count": (_c_int64, [_study, _c_int32]),
    "talven_study_text": (ctypes.c_char_p, [_study, _c_int32, _c_int64, ctypes.POINTER(_c_int32)]),
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
