// The functions of cpp-httplib's implementation that Vornhale calls beyond
// its public interface (the request gate reads and writes the sockets it
// hands to the library; the routes use its content types). The library's
// header declares them only with their definitions; the build compiles those
// once and adds these declarations, inside namespace httplib, to the header
// everything else includes. A declaration that does not match its definition
// leaves the program unlinked.
namespace detail {

int shutdown_socket(socket_t sock);
ssize_t select_read(socket_t sock, time_t sec, time_t usec);
ssize_t select_write(socket_t sock, time_t sec, time_t usec);
bool is_socket_alive(socket_t sock);
void get_remote_ip_and_port(socket_t sock, std::string &ip, int &port);
void get_local_ip_and_port(socket_t sock, std::string &ip, int &port);
std::string find_content_type(const std::string &path, const std::map<std::string, std::string> &user_data,
                              const std::string &default_content_type);

}  // namespace detail

