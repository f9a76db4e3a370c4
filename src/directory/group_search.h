// The group member search: reads the members of the watched directory group
// into a MemberList, once per update cycle, on the worker thread.
#pragma once

#include "common/records.h"

// Appends one GroupMember per member of the configured group, in the
// directory's order, and logs their count. False when the group could not
// be read (each failing step logs its own message); false at once, with
// nothing logged, when a stop was requested before the search began.
bool searchGroupMembers(MemberList& memberList);
