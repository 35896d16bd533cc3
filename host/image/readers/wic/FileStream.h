// A COM stream over the host's open image file, so that the Windows Imaging
// Component reads the file where it is (a temporary copy of a pipe too),
// never a second copy of it in memory.
#pragma once

#include <objidl.h>

#include "host/image/input/ImageSource.h"

// A new stream over `source`'s file (from its start), with one reference.
// Reads fail (E_ABORT) once the source's cancel flag is set, so that a
// decoder working through the whole image stops at its next read.
IStream* NewFileStream(ImageSource* source);
