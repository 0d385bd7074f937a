// The application object must exist before either entry point runs: the server's entry point
// lives in the control-system library and finds it only through Application::getInstance().
#include "app/QuellorCtrlServer.hpp"

quellor::QuellorCtrlServer theQuellorCtrlServer;
