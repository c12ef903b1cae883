#pragma once
// Writes any task result record as the JSON object of its kind, chosen by the
// record's "objective_task_type" text and checked against its class.

#include "model/result/TaskResult.h"

#include <boost/json/fwd.hpp>

namespace trevask::measurement_library {

// `value` is created null by the caller (with the memory resource it wants);
// on return it holds the kind's object or is still null: a null pointer, a
// type text that names no kind and a record of the wrong class all leave it
// null. Throws nothing on account of the record's contents.
void TaskResultWriter(boost::json::value& value, const TaskResult* result);

// The nine keys every kind's object starts with (except the native speed
// test's), in their order.
void writeCommonTaskResultKeys(boost::json::object& object, const TaskResult& result);

// boost.json conversion hooks, so that boost::json::value_from(ptr, storage)
// goes through TaskResultWriter.
void tag_invoke(const boost::json::value_from_tag&, boost::json::value& value, const TaskResult* result);
void tag_invoke(const boost::json::value_from_tag&, boost::json::value& value, TaskResult* result);

}  // namespace trevask::measurement_library
