// The PnP and power manager of the stand-in: the device tree, the request sequence a new device
// receives, add-device with the drivers installed on a node, resource arbitration from the parent
// bus's windows, re-enumeration, orderly and surprise removal, and device and system power.
#pragma once

#include <nt/kernel.hpp>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pnp {

// One address range handed out, or available.
struct Range {
    UCHAR type;    // CmResourceTypePort or CmResourceTypeMemory
    USHORT flags;  // CM_RESOURCE_MEMORY_PREFETCHABLE marks prefetchable memory
    uint64_t start;
    uint64_t length;
    uint64_t end() const { return start + length - 1; }
};

struct DeviceNode;

// Which descriptor of a requirement arbitration granted: 0 for the first (the preferred one), n
// for the n-th IO_RESOURCE_ALTERNATIVE descriptor after it; and the length the first asked for.
struct Grant {
    unsigned alternative = 0;
    uint64_t asked = 0;
};

// What the manager reports as it works, for hotpsim and tests. A request names its node, major
// and minor code and, for power, the state it asks for; Requirements follows every filtering of a
// node's requirements (the node holds the lists before and after); Granted follows arbitration
// for each range that came from an alternative descriptor rather than the first.
struct Event {
    enum class Kind { Request, Note, Problem, Requirements, Granted } kind = Kind::Note;
    std::string text;
    DeviceNode* node = nullptr;
    UCHAR major = 0, minor = 0;
    std::optional<POWER_STATE_TYPE> powerType;  // set power and query power only
    ULONG powerState = 0;                       // DEVICE_POWER_STATE or SYSTEM_POWER_STATE
    Range range{};                              // Granted: the range given
    Grant grant{};                              // Granted: the descriptor it came from
};

struct DeviceNode {
    std::string name;
    PDEVICE_OBJECT pdo = nullptr;
    DeviceNode* parent = nullptr;
    std::vector<std::unique_ptr<DeviceNode>> children;
    enum class State { Enumerated, Started, NotStarted, Removed } state = State::Enumerated;
    std::string problem;  // why the device is not started
    // Its start failed and its drivers were sent removal: only the bus driver's physical device
    // object is left, kept while the device is present.
    bool driversRemoved = false;
    // Why the bus's last relations query listed nothing: what is on it goes unreported.
    std::string enumerationProblem;
    bool isBus = false;   // has a bus of its own to enumerate
    // A root bus device: the number of its bus, as firmware describes the host bridge.
    std::optional<unsigned> rootBus;
    std::vector<uint8_t> requirements;  // the filtered requirements list, as the manager got it
    std::vector<uint8_t> requirementsBeforeFilter;
    std::vector<Range> assigned;        // what arbitration gave it, one range per requirement
    std::vector<Grant> grants;          // for each range of `assigned`, which descriptor gave it
    std::vector<Range> bootConfiguration;  // what it decoded when found, reserved until it starts
    DEVICE_POWER_STATE power = PowerDeviceD0;
    bool holdsPdo = false;  // the node's reference on its physical device object
    bool removing = false;  // removal or surprise removal has been sent to its stack

    // The windows a bus node passes on to its children: for the root the machine's address
    // space, for a bridge what it was assigned.
    std::vector<Range> windows() const;
};

// What the manager needs to know of the machine's drivers.
struct DriverSetup {
    // The function driver of a node (nullptr: none, the device stays raw).
    std::function<PDRIVER_OBJECT(DeviceNode&)> functionDriver;
    // Upper filters installed on a node (our driver on the root bus device).
    std::function<std::vector<PDRIVER_OBJECT>(DeviceNode&)> upperFilters;
    // Whether a node owns a bus to enumerate once started.
    std::function<bool(DeviceNode&)> isBus;
    // A readable name for a new physical device object.
    std::function<std::string(PDEVICE_OBJECT)> describe;
    // Why the bus driver failed a node's start, as its problem text (optional).
    std::function<std::string(DeviceNode&)> whyNotStarted;
};

class Manager {
public:
    Manager(nt::Kernel& kernel, DriverSetup setup);
    ~Manager();

    // One host bridge's root bus: its name, bus number and the address windows it forwards.
    struct RootBus {
        std::string name;
        unsigned number = 0;
        std::vector<Range> windows;
    };
    // Creates a root bus device per host bridge (a physical device object of the root
    // enumerator) in the order given, adds its drivers, starts it with its address windows and
    // enumerates everything below it.
    void boot(std::vector<RootBus> roots);
    // The same for a machine with one host bridge, bus 0.
    void boot(std::vector<Range> rootWindows);
    // The first root bus device, and all of them.
    DeviceNode* root() const { return roots_.empty() ? nullptr : roots_.front().get(); }
    std::vector<DeviceNode*> roots() const;
    DeviceNode* find(PDEVICE_OBJECT pdo) const;
    std::vector<DeviceNode*> nodes() const;

    // Asks a bus node for its relations again and processes what changed.
    void enumerate(DeviceNode& bus);
    // Orderly removal of a node and everything below it: query-remove to each, then remove. A
    // failed query vetoes it: every device queried gets cancel-remove and keeps running, and the
    // call returns false.
    bool remove(DeviceNode& node);
    // Device power: sends a device set-power request down the node's stack.
    NTSTATUS setDevicePower(DeviceNode& node, DEVICE_POWER_STATE state);
    // System sleep (S3) and wake.
    void sleep();
    void wake();
    // Removes every node, bottom up, at machine teardown; a vetoed subtree is then taken away as
    // hardware that has gone.
    void shutdown();

    std::function<void(const Event&)> onEvent;
    // Told before a request to a node's stack is sent (begins, true) and once it is done, so that
    // a scheduler can hold other threads' requests back meanwhile; a request refused at its
    // beginning (false) is not sent and fails, as a power request the device's driver no longer
    // asks for once its removal has begun.
    std::function<bool(DeviceNode&, UCHAR major, UCHAR minor, bool begins)> onRequest;
    // Told before a bus's relations are asked for and its children changed by the answer
    // (begins), and once they are: the PnP manager's own lock on that part of its device tree,
    // which a scheduler keeps by holding other threads back meanwhile.
    std::function<void(DeviceNode& bus, bool begins)> onTreeLock;

private:
    struct Sent {
        NTSTATUS status;
        ULONG_PTR information;
    };
    template <typename Fill>
    Sent send(DeviceNode& node, UCHAR major, UCHAR minor, Fill fill);
    void note(Event::Kind kind, const std::string& text);
    void note(Event event);
    PIO_RESOURCE_REQUIREMENTS_LIST interrogate(DeviceNode& node);
    void processNew(DeviceNode& node, PIO_RESOURCE_REQUIREMENTS_LIST list);
    bool arbitrate(DeviceNode& node, const IO_RESOURCE_LIST& list, std::vector<Range>& out);
    void start(DeviceNode& node);
    void removeTree(DeviceNode& node, bool surprise);
    void forget(DeviceNode& node);
    void bury(std::vector<std::unique_ptr<DeviceNode>>& nodes);
    // Held by enumerate and remove, the two that bury nodes; the outermost frees the buried.
    struct Burial {
        explicit Burial(Manager& manager) : m(manager) { ++m.depth_; }
        ~Burial();
        Manager& m;
    };
    void hold(DeviceNode& node);
    void letGo(DeviceNode& node);
    PDEVICE_OBJECT top(PDEVICE_OBJECT pdo) const;

    nt::Kernel& kernel_;
    DriverSetup setup_;
    PDRIVER_OBJECT rootEnumerator_;
    std::vector<std::unique_ptr<DeviceNode>> roots_;
    std::vector<std::unique_ptr<DeviceNode>> graveyard_;
    int depth_ = 0;  // enumerations and removals under way
};

std::string minorName(UCHAR major, UCHAR minor);
// A requirements list, one line for its header and one per descriptor.
std::vector<std::string> describeRequirements(const std::vector<uint8_t>& bytes);

}  // namespace pnp
