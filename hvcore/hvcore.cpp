#include "values/hvcore.h"
