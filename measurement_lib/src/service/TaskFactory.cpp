#include "service/TaskFactory.h"

#include "tasks/ProgramTask.h"
#include "tasks/TcpTask.h"

namespace trevask::measurement_library {

const TaskFactoryTable& taskFactories() {
    static const TaskFactoryTable table{
        {[](TaskConfiguration* c) { return TcpTask::accepts(c); },
         [](TaskConfiguration* c) { return TcpTask::create(c); }},
        {[](TaskConfiguration* c) { return ProgramTask::accepts(c); },
         [](TaskConfiguration* c) { return ProgramTask::create(c); }},
    };
    return table;
}

}  // namespace trevask::measurement_library
