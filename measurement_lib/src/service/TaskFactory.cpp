#include "service/TaskFactory.h"

#include "tasks/DnsTask.h"
#include "tasks/HttpProxyTask.h"
#include "tasks/NativeVelaTask.h"
#include "tasks/NonTransparentProxyTask.h"
#include "tasks/OoklaSpeedtestCliTask.h"
#include "tasks/ProgramTask.h"
#include "tasks/SipTask.h"
#include "tasks/TcpTask.h"
#include "tasks/TracerouteTask.h"
#include "tasks/UdpTask.h"
#include "tasks/VoipTask.h"

namespace trevask::measurement_library {

namespace {

// One row: the task's own predicate and factory.
template <typename Task>
TaskFactoryEntry row() {
    return {[](TaskConfiguration* c) { return Task::accepts(c); },
            [](TaskConfiguration* c) { return Task::create(c); }};
}

}  // namespace

// Rows in the fixed order of the table; each configuration kind fits one row.
const TaskFactoryTable& taskFactories() {
    static const TaskFactoryTable table{
        row<NativeVelaTask>(),
        row<TcpTask>(),
        row<UdpTask>(),
        row<NonTransparentProxyTask>(),
        row<TracerouteTask>(),
        row<SipTask>(),
        row<VoipTask>(),
        row<DnsTask>(),
        row<HttpProxyTask>(),
        row<ProgramTask>(),
        row<OoklaSpeedtestCliTask>(),
    };
    return table;
}

}  // namespace trevask::measurement_library
