#include "table_fixture.h"
