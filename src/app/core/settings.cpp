#include "app/core/settings.h"
