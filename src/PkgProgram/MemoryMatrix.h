#pragma once

#include "PkgProgram/MatrixDefinition.h"

namespace Programs {

// A named grid in program memory.
class MemoryMatrix {
public:
    MemoryMatrix() = default;
    MemoryMatrix(const MatrixDefinition& d, bool s) : isStatic(s), definition(d) {}

    bool isStatic = false;  // survives ProgramMemory::Clear
    MatrixDefinition definition;
};

}  // namespace Programs
