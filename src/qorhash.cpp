#include "qorhash.h"
