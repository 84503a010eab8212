#include "NSSharingServicePickerMenu.h"

namespace NSSharingServicePickerMenu {

std::shared_ptr<desktop::Menu> menuForSharingItems(const std::vector<desktop::SharingItem>& items,
                                                   desktop::MenuItem::Action action,
                                                   std::weak_ptr<desktop::SharingServiceDelegate> serviceDelegate) {
    auto services = desktop::SharingServices::servicesForItems(items);
    if (services.empty()) return nullptr;
    auto menu = std::make_shared<desktop::Menu>("SharingMenu");
    for (const auto& service : services) {
        auto item = std::make_shared<desktop::MenuItem>(service->title(), action);
        item->setImage(service->image());
        item->setRepresentedObject(service);
        service->setDelegate(serviceDelegate);
        menu->addItem(std::move(item));
    }
    return menu;
}

}  // namespace NSSharingServicePickerMenu
