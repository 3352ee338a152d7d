// ref_counted now lives with the other component helpers.
#pragma once

#include "component/com_helpers.h"
