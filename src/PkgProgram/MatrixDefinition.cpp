#include "PkgProgram/MatrixDefinition.h"

namespace Programs {

MatrixDefinition::MatrixDefinition() : MatrixDefinition(0, 0) {}

MatrixDefinition::MatrixDefinition(int x, int y) : cntX(x), cntY(y), stepX(0.0), stepY(0.0) {}

}  // namespace Programs
