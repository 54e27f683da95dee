package com.marrowbay.jdbc;

import com.ferngate.quillpro.IntValue;
import com.ferngate.quillpro.QuillTypeRef;
import com.marrowbay.quillpro.QuillCall;
import com.marrowbay.quillpro.QuillValue;
import java.lang.reflect.Method;
import java.lang.reflect.Modifier;
import java.sql.Connection;
import java.sql.DatabaseMetaData;
import java.sql.DriverPropertyInfo;
import java.sql.ResultSet;
import java.sql.ResultSetMetaData;
import java.sql.SQLException;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.Properties;
import java.util.TreeMap;
import java.util.regex.Pattern;

/**
 * The administration actions the {@code _jdbc_*} tags send (128 to 135). Each answers with the
 * tag's value; the tag's own parameters are read through the request natives.
 */
final class AdminActions {
    private final JDBCConnector source;

    AdminActions(JDBCConnector source) {
        this.source = source;
    }

    int run(QuillCall call, int action, QuillValue value) throws SQLException, JDBCConnector.Failure {
        switch (action) {
            case 128: return acceptsUrl(call, value == null ? "" : text(value.data));
            case 129: return propertyInfo(call, value);
            case 130: return driverInfo(call);
            case 131: return metaInfo(call);
            case 133: return call.returnTagValue(strings(call, source.driverClasses()));
            case 134: return setDriver(call, value == null ? "" : text(value.data));
            case 135: return deleteHost(call, value == null ? "" : text(value.data));
            default: return source.fail(call, JDBCConnector.UNSUPPORTED, "action " + action + " is not supported");
        }
    }

    private static String text(String value) {
        return value == null ? "" : value;
    }

    /** True when the driver takes the URL and a connection can be made with -username/-password. */
    private int acceptsUrl(QuillCall call, String url) {
        DriverEntry entry = source.current;
        boolean accepted = JDBCConnector.acceptsQuietly(entry, url);
        if (accepted) {
            String user = call.namedParam("-username");
            String password = call.namedParam("-password");
            // With the connector's connect timeout: a server that is down answers false quickly.
            Properties login = JDBCConnector.properties(entry, new JDBCConnector.Host(0, url,
                    user == null ? "" : user, password == null ? "" : password), source.timeouts);
            try (Connection connection = new DriverDataSource(entry.driver, url, login).getConnection()) {
                accepted = connection.isValid(5);
            } catch (SQLException e) {
                call.setResultMessage("JDBC " + source.family + ": " + e.getMessage());
                accepted = false;
            }
        }
        call.returnTagValueBoolean(accepted);
        return 0;
    }

    /** Names of connection properties that carry a secret. */
    private static final Pattern SECRET =
            Pattern.compile("pass|pwd|secret|credential|token|key", Pattern.CASE_INSENSITIVE);

    /**
     * The connection properties the driver takes for a URL: name, value, required, description,
     * choices; the value of a property that carries a secret is always empty.
     */
    private int propertyInfo(QuillCall call, QuillValue value) throws SQLException {
        String url = value == null ? "" : text(value.name);
        Properties given = new Properties();
        // The pair's second element: "name=value" items separated by ";" or new lines.
        for (String item : text(value == null ? null : value.data).split("[;\n]")) {
            int equals = item.indexOf('=');
            if (equals > 0) given.setProperty(item.substring(0, equals).trim(), item.substring(equals + 1).trim());
        }
        source.takesNoConnection(call);
        DriverPropertyInfo[] infos = source.current.driver.getPropertyInfo(url, given);
        List<QuillTypeRef> maps = new ArrayList<>();
        for (DriverPropertyInfo info : infos) {
            Map<String, String> map = new LinkedHashMap<>();
            map.put("name", info.name);
            // A driver may fill a password from what it keeps or finds (its files, the
            // environment): such values never reach a script.
            map.put("value", info.value == null || SECRET.matcher(info.name).find() ? "" : info.value);
            map.put("required", info.required ? "true" : "false");
            map.put("description", info.description == null ? "" : info.description);
            map.put("choices", info.choices == null ? "" : String.join(",", info.choices));
            maps.add(map(call, map));
        }
        return call.returnTagValue(array(call, maps));
    }

    private int driverInfo(QuillCall call) {
        DriverEntry e = source.current;
        Map<String, String> map = new LinkedHashMap<>();
        map.put("datasource", source.family);
        map.put("driver_name", e.className);
        map.put("file_name", e.fileName);
        map.put("vendor_name", e.vendorName);
        map.put("vendor_url", e.vendorUrl);
        map.put("version", e.driver.getMajorVersion() + "." + e.driver.getMinorVersion());
        map.put("jdbc_compliant", Boolean.toString(e.driver.jdbcCompliant()));
        map.put("connection_string", e.connectionString);
        map.put("certified", Boolean.toString(e.certified));
        map.put("catalogs_supported", Boolean.toString(e.catalogs));
        map.put("schemas_supported", Boolean.toString(e.schemas));
        map.put("quote_identifier", e.quote);
        map.put("catalog_separator", e.catalogSeparator);
        map.put("statement_terminator", e.terminator);
        map.put("typeconvert_supported", Boolean.toString(e.converts));
        map.put("debugging", Boolean.toString(source._debugging));
        return call.returnTagValue(map(call, map));
    }

    /**
     * {@code -methods}: the names of the metadata methods that can be called (no parameters, or
     * only text, number and boolean ones). A method name: calls it with {@code -params}, an
     * array whose texts are converted to the parameter types (null stays null). A result set
     * comes back as an array of maps, other results as text.
     */
    private int metaInfo(QuillCall call) throws SQLException, JDBCConnector.Failure {
        if (call.tagParamIsDefined("-methods") == 1) {
            List<String> names = new ArrayList<>(callable().keySet());
            return call.returnTagValue(strings(call, names));
        }
        String name = call.param(0);
        List<String> params = arrayParam(call, "-params");
        Method method = null;
        for (Method candidate : callable().values()) {
            if (candidate.getName().equals(name) && candidate.getParameterCount() == params.size()) method = candidate;
        }
        if (method == null) {
            throw new JDBCConnector.Failure(JDBCConnector.UNSUPPORTED,
                    "no metadata method " + name + " with " + params.size() + " parameters");
        }
        DatabaseMetaData meta = source.connection(call).getMetaData();
        Object[] arguments = new Object[params.size()];
        Class<?>[] types = method.getParameterTypes();
        for (int i = 0; i < arguments.length; i++) arguments[i] = convert(params.get(i), types[i]);
        Object result;
        try {
            result = method.invoke(meta, arguments);
        } catch (java.lang.reflect.InvocationTargetException e) {
            if (e.getCause() instanceof SQLException sql) throw sql;
            throw new JDBCConnector.Failure(JDBCConnector.SQL_FAILED, String.valueOf(e.getCause()));
        } catch (IllegalAccessException e) {
            throw new JDBCConnector.Failure(JDBCConnector.UNSUPPORTED, e.toString());
        }
        if (result instanceof ResultSet rows) {
            try (rows) {
                ResultSetMetaData columns = rows.getMetaData();
                List<QuillTypeRef> maps = new ArrayList<>();
                while (rows.next()) {
                    Map<String, String> map = new LinkedHashMap<>();
                    for (int i = 1; i <= columns.getColumnCount(); i++) map.put(columns.getColumnLabel(i), rows.getString(i));
                    maps.add(map(call, map));
                }
                return call.returnTagValue(array(call, maps));
            }
        }
        if (result instanceof Boolean flag) return call.returnTagValueBoolean(flag);
        if (result instanceof Integer || result instanceof Long) return call.returnTagValueInteger(((Number) result).longValue());
        return call.returnTagValueString(result == null ? "" : result.toString());
    }

    /** The metadata methods whose parameters a script can give, by "name" (none) or "name/count". */
    private static Map<String, Method> callable() {
        Map<String, Method> methods = new TreeMap<>();
        for (Method method : DatabaseMetaData.class.getMethods()) {
            if (Modifier.isStatic(method.getModifiers()) || method.getName().equals("unwrap")
                    || method.getName().equals("isWrapperFor") || method.getName().equals("getConnection")) {
                continue;
            }
            boolean simple = true;
            for (Class<?> type : method.getParameterTypes()) {
                simple &= type == String.class || type == int.class || type == boolean.class || type == String[].class;
            }
            if (simple) methods.putIfAbsent(method.getName() + "/" + method.getParameterCount(), method);
        }
        Map<String, Method> byName = new TreeMap<>();
        methods.values().forEach(m -> byName.putIfAbsent(m.getName() + (m.getParameterCount() == 0 ? "" : "/" + m.getParameterCount()), m));
        return byName;
    }

    private static Object convert(String text, Class<?> type) throws JDBCConnector.Failure {
        if (text == null) {
            if (type.isPrimitive()) throw new JDBCConnector.Failure(JDBCConnector.BAD_DATA, "a null for a " + type);
            return null;
        }
        try {
            if (type == int.class) return Integer.parseInt(text.trim());
            if (type == boolean.class) return Boolean.parseBoolean(text.trim());
            if (type == String[].class) return text.split(",");
            return text;
        } catch (NumberFormatException e) {
            throw new JDBCConnector.Failure(JDBCConnector.BAD_DATA, "not a number: " + text);
        }
    }

    /** The texts of an array parameter (null elements stay null); empty when it is missing. */
    private static List<String> arrayParam(QuillCall call, String name) {
        List<String> texts = new ArrayList<>();
        QuillTypeRef array = new QuillTypeRef();
        if (call.findTagParam2(name, array) != 0) return texts;
        IntValue size = new IntValue();
        if (call.arrayGetSize(array, size) != 0) return texts;
        for (int i = 0; i < size.value; i++) {
            QuillTypeRef element = new QuillTypeRef();
            com.ferngate.quillpro.QuillValue out = new com.ferngate.quillpro.QuillValue();
            com.ferngate.quillpro.QuillValue kind = new com.ferngate.quillpro.QuillValue();
            call.arrayGetElement(array, i, element);
            boolean isNull = call.typeGetName(element, kind) == 0 && "null".equals(kind.data);
            texts.add(!isNull && call.typeGetString(element, out) == 0 ? text(out.data) : null);
        }
        return texts;
    }

    private int setDriver(QuillCall call, String className) throws JDBCConnector.Failure {
        for (DriverEntry entry : source.drivers) {
            if (entry.className.equals(className)) {
                source.current = entry;
                source.applySettings();
                return call.returnTagValueBoolean(true);
            }
        }
        throw new JDBCConnector.Failure(JDBCConnector.NO_DRIVER,
                "no driver class " + className + " serves this data source; see _jdbc_driverclasses");
    }

    private int deleteHost(QuillCall call, String id) throws JDBCConnector.Failure {
        try {
            return call.returnTagValueInteger(source.closePools(Integer.parseInt(id.trim())));
        } catch (NumberFormatException e) {
            throw new JDBCConnector.Failure(JDBCConnector.BAD_DATA, "not a host id: " + id);
        }
    }

    // ---- script values ----

    private static QuillTypeRef string(QuillCall call, String text) {
        QuillTypeRef value = new QuillTypeRef();
        if (text == null) call.typeAllocNull(value);
        else call.typeAllocString(value, text);
        return value;
    }

    private static QuillTypeRef strings(QuillCall call, List<String> texts) {
        List<QuillTypeRef> values = new ArrayList<>();
        for (String text : texts) values.add(string(call, text));
        return array(call, values);
    }

    private static QuillTypeRef array(QuillCall call, List<QuillTypeRef> elements) {
        QuillTypeRef array = new QuillTypeRef();
        call.typeAllocArray(array, elements.toArray(new QuillTypeRef[0]));
        return array;
    }

    private static QuillTypeRef map(QuillCall call, Map<String, String> entries) {
        QuillTypeRef[] keys = new QuillTypeRef[entries.size()];
        QuillTypeRef[] values = new QuillTypeRef[entries.size()];
        int i = 0;
        for (Map.Entry<String, String> entry : entries.entrySet()) {
            keys[i] = string(call, entry.getKey());
            values[i++] = string(call, entry.getValue());
        }
        QuillTypeRef map = new QuillTypeRef();
        call.typeAllocMap(map, keys, values);
        return map;
    }
}
