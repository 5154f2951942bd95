#include "convert/path_rules.h"
