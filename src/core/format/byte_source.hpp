// The byte source the format readers read from: a file of the platform layer.
#pragma once

#include "core/platform/file.hpp"
