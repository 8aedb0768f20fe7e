#include <string>
#include <utility>

#include "hostlib/internal/DecimalText.h"
#include "hostlib/quillon.h"

ProfileSection::ProfileSection(std::string name) : name_(std::move(name)) {}

bool ProfileSection::operator==(const std::string& name) const { return name_ == name; }

const std::string& ProfileSection::GetSetionName() const { return name_; }

std::string ProfileSection::GetItem(const std::string& key) const {
  for (const ProfileItem& item : items_) {
    if (item.key == key) return item.value;
  }
  return std::string();
}

int ProfileSection::GetItemInt(const std::string& key) const {
  return quillon_internal::ParseDecimalClamped(GetItem(key));
}

bool ProfileSection::IsItemExist(const std::string& key) const {
  for (const ProfileItem& item : items_) {
    if (item.key == key) return true;
  }
  return false;
}

void ProfileSection::AddItem(std::string key, std::string value) {
  items_.push_back(ProfileItem{std::move(key), std::move(value)});
}

void ProfileSection::ReserveItems(std::size_t count) { items_.reserve(count); }

const ProfileSection::ItemList& ProfileSection::GetItems() const { return items_; }

ProfileSection::ItemList ProfileSection::TakeItems() {
  ItemList taken;
  taken.swap(items_);
  return taken;
}

ProfileSection::ItemList::const_iterator ProfileSection::begin() const { return items_.begin(); }

ProfileSection::ItemList::const_iterator ProfileSection::end() const { return items_.end(); }
