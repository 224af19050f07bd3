#include "linesource.h"

LineSource::~LineSource() = default;
