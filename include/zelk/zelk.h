// Umbrella header: every public header of the library.
#pragma once

#include "core/IWZelkAuthBase.h"
#include "platform/rtl/ClassRegistry.h"
#include "platform/rtl/Classes.h"
#include "platform/rtl/Collection.h"
#include "platform/rtl/Set.h"
#include "platform/rtl/StringList.h"
#include "platform/rtl/SysUtils.h"
#include "platform/web/HttpRequest.h"
#include "platform/web/HttpResponse.h"
#include "platform/web/IWApplication.h"
