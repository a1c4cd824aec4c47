"""Readable x-axis units and data type names."""

import pytest

from vellkit_tools.units import data_type_name, x_unit_label, x_unit_long_name


@pytest.mark.parametrize("code, label, name", [
    ("WN", "cm-1", "Wavenumber"),
    ("wn", "cm-1", "Wavenumber"),
    (" MI\0", "um", "Wavelength"),
    (b"NM", "nm", "Wavelength"),
    ("MIN", "min", "Time"),
    ("PNT", "points", "Data point"),
])
def test_known_codes(code, label, name):
    assert x_unit_label(code) == label
    assert x_unit_long_name(code) == name


@pytest.mark.parametrize("code, expected", [("XYZ", "XYZ"), (" Furlongs ", "Furlongs"),
                                            ("", ""), (None, "")])
def test_unknown_codes_come_back_as_given(code, expected):
    assert x_unit_label(code) == expected
    assert x_unit_long_name(code) == expected


def test_data_type_names():
    assert data_type_name("AB") == "Absorbance"
    assert data_type_name("trc") == "Trace value"
    assert data_type_name("QQ") == "QQ"
