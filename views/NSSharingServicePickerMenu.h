#pragma once
// The share menu: one row per service that can take the items, titled and
// pictured as the service, carrying the service as its represented object,
// running the action given; every service reports to the delegate given.
// Main thread only.

#include <memory>
#include <vector>

#include "platform/desktop/Menu.h"
#include "platform/desktop/SharingServices.h"

namespace NSSharingServicePickerMenu {

// A menu titled "SharingMenu"; null when no service can take the items.
std::shared_ptr<desktop::Menu> menuForSharingItems(const std::vector<desktop::SharingItem>& items,
                                                   desktop::MenuItem::Action action,
                                                   std::weak_ptr<desktop::SharingServiceDelegate> serviceDelegate);

}  // namespace NSSharingServicePickerMenu
