// SPDX-License-Identifier: MIT
namespace sockscopeNET
{
    /// <summary>One TCP endpoint pair of a snapshot. Plain data: callers may also create and fill rows.</summary>
    public class statTCPROW_NET
    {
        /// <summary>Local address as text: "127.0.0.1" in the IPv4 tables, "::1" in the IPv6 ones.</summary>
        public string LocalAddr;
        /// <summary>Remote address as text; "0.0.0.0" (IPv4) or "::" (IPv6) for a listener.</summary>
        public string RemoteAddr;
        /// <summary>Image name of the owning process; null when unknown or ended.</summary>
        public string ProcessName;
        /// <summary>State name, e.g. "LISTEN" or "ESTABLISH".</summary>
        public string Statestr;
        /// <summary>Local port.</summary>
        public ushort LocalPort;
        /// <summary>Remote port; 0 for a listener.</summary>
        public ushort RemotePort;
        /// <summary>State number 1 to 12.</summary>
        public ushort Statenum;
        /// <summary>
        /// Low 16 bits of the owning process id; 0 when unknown. Kept for
        /// existing callers: ids above 65535 are cut, so use <see cref="ProcessId"/>.
        /// </summary>
        public ushort PID;
        /// <summary>Low 16 bits of the snapshot's row count.</summary>
        public ushort size;
        /// <summary>
        /// The owning process id, whole (Linux ids go up to 4194304); 0 when
        /// unknown. Compare this, not <see cref="PID"/>, with process ids.
        /// </summary>
        public uint ProcessId;
    }

    /// <summary>
    /// One UDP endpoint of a snapshot. It has the TCP row's fields; RemoteAddr
    /// and Statestr stay null and RemotePort and Statenum 0.
    /// </summary>
    public class statUDPROW_NET
    {
        /// <summary>Local address as text: "127.0.0.1" in the IPv4 tables, "::1" in the IPv6 ones.</summary>
        public string LocalAddr;
        /// <summary>Always null for UDP.</summary>
        public string RemoteAddr;
        /// <summary>Image name of the owning process; null when unknown or ended.</summary>
        public string ProcessName;
        /// <summary>Always null for UDP.</summary>
        public string Statestr;
        /// <summary>Local port.</summary>
        public ushort LocalPort;
        /// <summary>Always 0 for UDP.</summary>
        public ushort RemotePort;
        /// <summary>Always 0 for UDP.</summary>
        public ushort Statenum;
        /// <summary>
        /// Low 16 bits of the owning process id; 0 when unknown. Kept for
        /// existing callers: ids above 65535 are cut, so use <see cref="ProcessId"/>.
        /// </summary>
        public ushort PID;
        /// <summary>Low 16 bits of the snapshot's row count.</summary>
        public ushort size;
        /// <summary>
        /// The owning process id, whole (Linux ids go up to 4194304); 0 when
        /// unknown. Compare this, not <see cref="PID"/>, with process ids.
        /// </summary>
        public uint ProcessId;
    }
}
