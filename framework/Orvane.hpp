#pragma once
// Everything an application module needs of the framework.
#include "framework/Accessor.hpp"
#include "framework/Application.hpp"
#include "framework/ConfigReader.hpp"
#include "framework/ControlSystem.hpp"
#include "framework/Entity.hpp"
#include "framework/Types.hpp"
