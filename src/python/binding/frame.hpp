#pragma once

// What a family file needs to declare its classes and functions.
#include "python/binding/callable.hpp"
#include "python/binding/registry.hpp"
