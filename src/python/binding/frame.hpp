#pragma once

// What a family file needs to declare its classes and functions.
#include "python/binding/class_object.hpp"
#include "python/binding/declare.hpp"
#include "python/binding/registry.hpp"
