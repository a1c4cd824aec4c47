# Type information for the `vellkit` extension module. Installed twice by
# CMake: beside the module (for IDEs) and as the stub-only package
# `vellkit-stubs` (for mypy, which looks for stubs of a single-file module
# only there).
from os import PathLike
from types import ModuleType
from typing import Any, Dict, Iterable, List, Literal, Optional, Sequence, Tuple, Union, overload

import numpy
import numpy.typing as npt
from struct import unpack as unpack

# What the built-in open accepts.
_OpenablePath = Union[int, str, bytes, PathLike[str], PathLike[bytes]]

np = numpy
imghdr: ModuleType

# Coordinates (x, map positions, times) are float64; data values float32.
_Coordinates = npt.NDArray[numpy.float64]
_Values = npt.NDArray[numpy.float32]

class BaseDataReturn:
    dimension: str
    dataType: str
    derivative: str
    parameters: Dict[str, Any]
    x: _Coordinates
    minY: float
    maxY: float
    description: str
    def __init__(
        self,
        dimension: str,
        dataType: str,
        deriv: str,
        parameters: Dict[str, Any],
        x: _Coordinates,
        minY: float,
        maxY: float,
    ) -> None: ...

class SingleDataReturn(BaseDataReturn):
    y: _Values
    def __init__(
        self,
        y: _Values,
        *,
        dimension: str,
        dataType: str,
        deriv: str,
        parameters: Dict[str, Any],
        x: _Coordinates,
        minY: float,
        maxY: float,
    ) -> None: ...

class ImageDataReturn(BaseDataReturn):
    mapX: _Coordinates
    mapY: _Coordinates
    spectra: _Values
    def __init__(
        self,
        mapX: _Coordinates,
        mapY: _Coordinates,
        spectra: _Values,
        *,
        dimension: str,
        dataType: str,
        deriv: str,
        parameters: Dict[str, Any],
        x: _Coordinates,
        minY: float,
        maxY: float,
    ) -> None: ...

class ImageTRCDataReturn(BaseDataReturn):
    mapX: _Coordinates
    mapY: _Coordinates
    labels: List[str]
    traces: _Values
    def __init__(
        self,
        mapX: _Coordinates,
        mapY: _Coordinates,
        labels: List[str],
        traces: _Values,
        *,
        dimension: str,
        dataType: str,
        deriv: str,
        parameters: Dict[str, Any],
        x: _Coordinates,
        minY: float,
        maxY: float,
    ) -> None: ...

class TimeResolvedDataReturn(BaseDataReturn):
    z: _Coordinates
    spectra: _Values
    def __init__(
        self,
        z: _Coordinates,
        spectra: _Values,
        *,
        dimension: str,
        dataType: str,
        deriv: str,
        parameters: Dict[str, Any],
        x: _Coordinates,
        minY: float,
        maxY: float,
    ) -> None: ...

class TimeResolvedTRCDataReturn(BaseDataReturn):
    labels: List[str]
    traces: _Values
    def __init__(
        self,
        labels: List[str],
        traces: _Values,
        *,
        dimension: str,
        dataType: str,
        deriv: str,
        parameters: Dict[str, Any],
        x: _Coordinates,
        minY: float,
        maxY: float,
    ) -> None: ...

class Region:
    title: str
    mapX: _Coordinates
    mapY: _Coordinates
    # None in the regions of a trace map.
    start_time: Optional[_Coordinates]
    spectra: _Values
    def __init__(
        self,
        title: str,
        mapX: _Coordinates,
        mapY: _Coordinates,
        start_time: Optional[_Coordinates],
        spectra: _Values,
    ) -> None: ...

class MultiRegionDataReturn(BaseDataReturn):
    regions: List[Region]
    def __init__(
        self,
        regions: List[Region],
        *,
        dimension: str,
        dataType: str,
        deriv: str,
        parameters: Dict[str, Any],
        x: _Coordinates,
        minY: float,
        maxY: float,
    ) -> None: ...

class MultiRegionTRCDataReturn(BaseDataReturn):
    labels: List[str]
    regions: List[Region]
    def __init__(
        self,
        labels: List[str],
        regions: List[Region],
        *,
        dimension: str,
        dataType: str,
        deriv: str,
        parameters: Dict[str, Any],
        x: _Coordinates,
        minY: float,
        maxY: float,
    ) -> None: ...

def help() -> None: ...
def listContents(path: _OpenablePath, /) -> List[Tuple[str, str, str]]: ...
def isVellFile(path: _OpenablePath, /) -> bool: ...
def decode_string(s: Union[bytes, bytearray], encodings: Iterable[str] = ("ascii", "utf8", "latin1")) -> str: ...
# A 2D request always gives a SingleDataReturn. The class of a 3D result
# depends on the file (ImageDataReturn, ImageTRCDataReturn,
# TimeResolvedDataReturn, TimeResolvedTRCDataReturn, MultiRegionDataReturn or
# MultiRegionTRCDataReturn): Any, as a union would reject every attribute that
# not all six share; isinstance() narrows it.
@overload
def getVellData(path: str, datablock: Tuple[str, Literal["2D", "2d"], str]) -> SingleDataReturn: ...
@overload
def getVellData(path: str, datablock: Sequence[str]) -> Any: ...
def getVisImages(path: str, /) -> List[Dict[str, Any]]: ...

paramDict: Dict[str, str]
