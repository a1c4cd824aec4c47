"""Readable names for the x-axis unit codes of VELL files.

A data block's parameter ``DXU`` holds a short code for the unit of its x
axis (``"WN"`` for wavenumbers, ``"MI"`` for micrometres, ...).  The two
functions here turn such a code into an axis label (``"cm-1"``) and a long
name (``"Wavenumber"``).  Codes not in the table are returned unchanged, so
a label is never lost; an empty or missing code gives an empty label.
"""

from typing import Dict, Optional, Tuple

__all__ = ["X_UNITS", "DATA_TYPE_NAMES", "x_unit_label", "x_unit_long_name", "x_unit_cf", "time_unit_cf",
           "data_type_name", "VALUE_UNITS"]

#: Known ``DXU`` codes -> (unit label, long name).  Labels are plain ASCII
#: so that they survive CSV headers, NetCDF attributes and terminals alike.
X_UNITS: Dict[str, Tuple[str, str]] = {
    "WN": ("cm-1", "Wavenumber"),
    "MI": ("um", "Wavelength"),
    "UM": ("um", "Wavelength"),
    "NM": ("nm", "Wavelength"),
    "LGW": ("log(cm-1)", "Log wavenumber"),
    "HZ": ("Hz", "Frequency"),
    "GHZ": ("GHz", "Frequency"),
    "MIN": ("min", "Time"),
    "SEC": ("s", "Time"),
    "S": ("s", "Time"),
    "MS": ("ms", "Time"),
    "PNT": ("points", "Data point"),
    "PTS": ("points", "Data point"),
    "EV": ("eV", "Energy"),
    "RAM": ("cm-1", "Raman shift"),
}


def _normalise(code: Optional[object]) -> str:
    if code is None:
        return ""
    if isinstance(code, bytes):
        code = code.decode("latin1")
    return str(code).strip().rstrip("\0").strip()


def x_unit_label(code: Optional[object]) -> str:
    """Short unit label for an x-unit code, e.g. ``"WN"`` -> ``"cm-1"``.

    The code is matched without regard to case or surrounding blanks.
    Unknown codes are returned as given (stripped); ``None`` or an empty
    code gives ``""``.
    """
    text = _normalise(code)
    entry = X_UNITS.get(text.upper())
    return entry[0] if entry else text


#: Labels of :data:`X_UNITS` that are not units a CF reader (udunits) parses,
#: with what stands for them in CF metadata (None: no unit at all).
_NOT_UDUNITS: Dict[str, Optional[str]] = {"points": "1", "log(cm-1)": None}


def x_unit_cf(code: Optional[object]) -> Optional[str]:
    """The CF (udunits) unit of an x-unit code, e.g. ``"WN"`` -> ``"cm-1"``,
    ``"PNT"`` -> ``"1"``; None for a code that is not known (the code itself
    is no unit a CF reader can parse) or names no unit."""
    entry = X_UNITS.get(_normalise(code).upper())
    if entry is None:
        return None
    return _NOT_UDUNITS.get(entry[0], entry[0])


#: Time unit texts (as ``ZTX`` holds them, lower case) -> CF (udunits) units.
_TIME_UNITS: Dict[str, str] = {}
for _unit, _texts in (("s", ("s", "sec", "secs", "second", "seconds")),
                      ("ms", ("ms", "msec", "millisecond", "milliseconds")),
                      ("us", ("us", "microsecond", "microseconds")),
                      ("min", ("min", "mins", "minute", "minutes")),
                      ("h", ("h", "hr", "hrs", "hour", "hours"))):
    _TIME_UNITS.update((text, _unit) for text in _texts)


def time_unit_cf(text: Optional[object]) -> Optional[str]:
    """The CF (udunits) unit of a time unit text such as a block's ``ZTX``,
    e.g. ``"Seconds"`` -> ``"s"``; None when the text names no known time unit."""
    return _TIME_UNITS.get(_normalise(text).lower())


def x_unit_long_name(code: Optional[object]) -> str:
    """Long name of the quantity on the x axis, e.g. ``"WN"`` -> ``"Wavenumber"``.

    Unknown codes are returned as given (stripped); ``None`` or an empty
    code gives ``""``.
    """
    text = _normalise(code)
    entry = X_UNITS.get(text.upper())
    return entry[1] if entry else text


#: Data block names -> what their values are, for axis labels.
DATA_TYPE_NAMES: Dict[str, str] = {
    "AB": "Absorbance", "TR": "Transmittance", "REFL": "Reflectance",
    "LREFL": "Log reflectance", "KM": "Kubelka-Munk", "RAM": "Raman intensity",
    "EMIS": "Emission", "ATR": "ATR", "PAS": "Photoacoustic signal",
    "SSC": "Sample single channel", "RSC": "Reference single channel",
    "SIFG": "Sample interferogram", "RIFG": "Reference interferogram",
    "SPH": "Sample phase", "RPH": "Reference phase", "SPOW": "Sample power spectrum",
    "RPOW": "Reference power spectrum", "TRARI": "Transmittance (ratioed)",
    "ABARI": "Absorbance (ratioed)", "TRC": "Trace value",
}


def data_type_name(name: Optional[object]) -> str:
    """What the values of a data block type are, e.g. ``"AB"`` -> ``"Absorbance"``."""
    text = _normalise(name)
    return DATA_TYPE_NAMES.get(text.upper(), text)


#: The CF unit of the values of every data block type. Absorbance,
#: transmittance, reflectance and the like are ratios; single channels,
#: interferograms and traces are in the instrument's arbitrary units, which
#: CF writes as a dimensionless "1" too.
VALUE_UNITS = "1"
