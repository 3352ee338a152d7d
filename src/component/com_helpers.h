// The component helpers of the library's own classes are the public
// header-only ones (ref_ptr, com_interfaces with an interface table, the
// counts). A component class keeps its count in CUnknownMultiThread or
// CUnknownSingleThread (component/unknown_base.h), whose internal_add_ref and
// internal_release com_interfaces calls, so live_component_objects() sees it:
//
//   class CThing final : public com_interfaces<CThing, IThing>, public CUnknownMultiThread {
//   public:
//       using interfaces = single_interface<IID_IThing, IThing>;
//
// Small internal relays that point back to an owner take atomic_ref_count.
#pragma once

#include "asynframe/com_helpers.h"
