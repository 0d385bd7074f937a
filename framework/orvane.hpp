#pragma once
// Everything an application module needs of the framework.
#include "framework/accessor.hpp"
#include "framework/application.hpp"
#include "framework/config_reader.hpp"
#include "framework/control_system.hpp"
#include "framework/entity.hpp"
#include "framework/types.hpp"
