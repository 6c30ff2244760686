-- One multipart position post per request, as the HTTP upload logger sends it.
local boundary = "----geomuxer-bench"
local fields = {
  {"user", "bench"}, {"datetime", "2024-05-01T10:20:30Z"}, {"lat", "47.123456"}, {"lon", "11.456789"},
  {"alt", "512.5"}, {"speed", "42.5"}, {"heading", "271.25"}, {"satellites", "9"}, {"trackid", "bench-track"},
}
local parts = {}
for _, f in ipairs(fields) do
  parts[#parts + 1] = "--" .. boundary .. "\r\nContent-Disposition: form-data; name=\"" .. f[1] ..
                      "\"\r\n\r\n" .. f[2] .. "\r\n"
end
wrk.method = "POST"
wrk.body = table.concat(parts) .. "--" .. boundary .. "--\r\n"
wrk.headers["Content-Type"] = "multipart/form-data; boundary=" .. boundary
wrk.headers["Authorization"] = "Basic YmVuY2g6YmVuY2g="  -- bench:bench
wrk.headers["Connection"] = "close"
