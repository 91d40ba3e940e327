#include "ir.hpp"
