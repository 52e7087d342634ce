import java.lang.reflect.Constructor;
import java.lang.reflect.Field;
import java.lang.reflect.Method;
import java.lang.reflect.Modifier;
import java.util.Arrays;
import java.util.HashMap;
import java.util.HashSet;
import java.util.Map;
import java.util.Set;
import vlntest.Check;

/**
 * The names and descriptors the bindings look up (FindClass, GetMethodID, GetFieldID) and the ones applications
 * call, against the provider classes as compiled: a typo in either would only show at run time as a missing
 * method, or as a native that never binds.
 */
public final class ProviderContractTest {
    static final String P = "eu.veltrano.zamo.DeviceCommunication.provider.";
    static final String S = P + "DigitalScope.";
    static final String WE = "Leu/veltrano/zamo/DeviceCommunication/provider/WrapperException;";
    static final String EST = "Leu/veltrano/zamo/DeviceCommunication/provider/DigitalScope/DigitalScopeTimingEstimation;";
    static final String CAPS = "Leu/veltrano/zamo/DeviceCommunication/provider/DigitalScope/DigScopeCapabilities;";
    static final String STR = "Ljava/lang/String;";

    static String descriptor(Class<?> c) {
        if (c.isArray()) return "[" + descriptor(c.getComponentType());
        if (c == void.class) return "V";
        if (c == boolean.class) return "Z";
        if (c == byte.class) return "B";
        if (c == short.class) return "S";
        if (c == int.class) return "I";
        if (c == long.class) return "J";
        if (c == float.class) return "F";
        if (c == double.class) return "D";
        if (c == char.class) return "C";
        return "L" + c.getName().replace('.', '/') + ";";
    }

    static String descriptor(Class<?>[] params, Class<?> result) {
        StringBuilder s = new StringBuilder("(");
        for (Class<?> p : params) s.append(descriptor(p));
        return s.append(")").append(descriptor(result)).toString();
    }

    /** Natives: exactly these, each static native, no overloads. */
    static void natives(String className, String... entries) throws Exception {
        Class<?> c = Class.forName(className);
        Map<String, String> declared = new HashMap<>();
        Set<String> overloaded = new HashSet<>();
        for (Method m : c.getDeclaredMethods()) {
            if (!Modifier.isNative(m.getModifiers())) continue;
            Check.isTrue(Modifier.isStatic(m.getModifiers()), className + "." + m.getName() + " is static");
            if (declared.put(m.getName(), descriptor(m.getParameterTypes(), m.getReturnType())) != null)
                overloaded.add(m.getName());
        }
        Check.equal(Set.of(), overloaded, className + ": overloaded natives");
        Map<String, String> expected = new HashMap<>();
        for (String e : entries) {
            String[] nd = e.split(" ");
            expected.put(nd[0], nd[1]);
        }
        Check.equal(expected, declared, className + ": natives and descriptors");
        Method load = c.getMethod("load");
        Check.isTrue(Modifier.isStatic(load.getModifiers()), className + ".load() is static");
        Check.isTrue(Arrays.asList(load.getExceptionTypes()).contains(
                Class.forName(P + "WrapperException")), className + ".load() throws WrapperException");
    }

    /** Instance methods the dispatcher calls, and the no-argument constructor the binding uses. */
    static void callbacks(String className, String... entries) throws Exception {
        Class<?> c = Class.forName(className);
        Constructor<?> init = c.getConstructor();
        Check.isTrue(Modifier.isPublic(init.getModifiers()), className + "() is public");
        String[] all = Arrays.copyOf(entries, entries.length + 2);
        all[entries.length] = "handleNativeException (" + STR + STR + "[B)V";
        all[entries.length + 1] = "handleNativeGenericException (Ljava/lang/Exception;)V";
        for (String e : all) {
            String[] nd = e.split(" ");
            boolean found = false;
            for (Method m : c.getMethods())
                if (m.getName().equals(nd[0]) && descriptor(m.getParameterTypes(), m.getReturnType()).equals(nd[1])
                        && !Modifier.isStatic(m.getModifiers()))
                    found = true;
            Check.isTrue(found, className + "." + nd[0] + nd[1]);
        }
    }

    static void holder(String nativesClass, String callbacksClass) throws Exception {
        Field f = Class.forName(nativesClass).getDeclaredField("callbacks");
        Check.isTrue(Modifier.isStatic(f.getModifiers()), nativesClass + ".callbacks is static");
        Check.equal(callbacksClass, f.getType().getName(), nativesClass + ".callbacks type");
    }

    static void field(String className, String name, String type) throws Exception {
        Field f = Class.forName(className).getField(name);
        Check.equal(type, descriptor(f.getType()), className + "." + name);
    }

    static void constructor(String className, String desc) throws Exception {
        boolean found = false;
        for (Constructor<?> k : Class.forName(className).getConstructors())
            found |= descriptor(k.getParameterTypes(), void.class).equals(desc);
        Check.isTrue(found, className + ".<init>" + desc);
    }

    public static void main(String[] args) {
        Check.test("WrapperException", () -> {
            constructor(P + "WrapperException", "(" + STR + STR + "[B)V");
            Check.isTrue(Exception.class.isAssignableFrom(Class.forName(P + "WrapperException")), "an Exception");
        });
        Check.test("Devmgrjni", () -> natives(P + "Devmgrjni",
                "getSelectedRemoteDeviceId ([B)[B", "getProtocolList ([B)[B", "getFirmwareVersion ([B)I",
                "getFirmwarePlatformOptions ([B)" + STR, "getFirmwareRunningTarget ([B)" + STR,
                "getFirmwareSubTarget ([B)" + STR, "getFirmwareVersionString ([B)" + STR,
                "getFirmwareVerboseDescription ([B)" + STR, "getFirmwareSignature ([B)[B",
                "getFriendlyName ([B)" + STR, "getRecoveryVersion ([B)I", "getApplicationUUID ([B)[B",
                "getApplicationInfoName ([B)" + STR, "getApplicationInfoVersion ([B)" + STR,
                "getParamTableSignature ([B)[B", "getParamTableDefaultsSignature ([B)[B",
                "getDeviceName ([B)" + STR, "getDeviceSerialNumber ([B)I", "setFriendlyName ([B" + STR + ")Z",
                "identifyRemote ([BI)V", "immediateReset ([B)V",
                "requestCoreFirmwareUpgrade ([B" + STR + STR + ")I"));
        Check.test("Scopejni", () -> {
            natives(S + "Scopejni", "registerRemote ([B)Z", "unregisterRemote ([B)V", "getRemoteSignature ([B[B)Z",
                    "getRemoteCapabilities ([B" + CAPS + ")I", "addChannel ([BSF)I", "modifyChannel ([BSF)I",
                    "removeChannel ([BS)I", "addTrigger ([BSI[B)I", "modifyTrigger ([BSI[B)I",
                    "removeTrigger ([BS)I", "setScopeParameters ([BIFF)I", "armTrigger ([B)I", "cancel ([B)I",
                    "getRawConfig ([B)I", "getRawData ([B)I");
            holder(S + "Scopejni", S + "ProtocolDigitalScopeCallbacks");
            callbacks(S + "ProtocolDigitalScopeCallbacks", "setConnectionStatus ([BZ)V", "statusUpdate ([BIF)V",
                    "setTimingEstimation ([B" + EST + ")V", "progressUpdate ([BII)V", "setDataStream ([BI[B)V");
        });
        Check.test("scope data classes", () -> {
            for (String f : new String[] {"maxChannels I", "maxTriggers I", "baseSampleSize I", "timeBase F",
                    "bufferSize I"})
                field(S + "DigScopeCapabilities", f.split(" ")[0], f.split(" ")[1]);
            constructor(S + "DigScopeCapabilities", "()V");
            constructor(S + "DigitalScopeTimingEstimation", "(IF)V");
            field(S + "DigitalScopeTimingEstimation", "channelsList",
                    "[Leu/veltrano/zamo/DeviceCommunication/provider/DigitalScope/DigitalScopeTimingSingleChannel;");
            constructor(S + "DigitalScopeTimingSingleChannel", "(IF)V");
        });
        Check.test("Pardbjni", () -> {
            natives(P + "Pardbjni", "connectRemoteHw ([B)Z", "disconnectRemoteHw ([B)Z",
                    "getParameterSignature ([B)Z", "storeParameters ([B)Z", "readParameter ([BI)Z",
                    "writeParameter ([BI[B)Z");
            holder(P + "Pardbjni", P + "PardbprotoCallbacks");
            callbacks(P + "PardbprotoCallbacks", "nativeCallbackSetDeviceStatus ([BZ)V",
                    "nativeCallbackParameterSignatureResult ([B[B)V", "nativeCallbackStoreOperationResult ([BI)V",
                    "nativeCallbackReadOperationResult ([BI[B)V", "nativeCallbackWriteOperationResult ([BIZ)V");
        });
        Check.test("Statjni", () -> {
            natives(P + "Statjni", "registerDevice ([B)Z", "unregisterDevice ([B)Z", "requestSignature ([B)Z",
                    "requestNotifications ([B)Z");
            holder(P + "Statjni", P + "StatprotoCallbacks");
            callbacks(P + "StatprotoCallbacks", "nativeCallbackSetConnected ([B)V",
                    "nativeCallbackUnSetConnected ([B)V", "nativeCallbackParamSignature ([B[B)V",
                    "nativeCallbackEventListChanged ([B[I)V", "nativeCallbackPowerStateListChanged ([B[I)V",
                    "nativeCallbackSystemStatusChanged ([B" + STR + ")V");
        });
        Check.test("Fsjni", () -> {
            natives(P + "Fsjni", "putFileToRemote ([B" + STR + STR + STR + "S)Z",
                    "getFileFromRemote ([B" + STR + STR + STR + ")Z", "getFileListFromRemote ([B" + STR + STR + ")Z",
                    "deleteFileFromRemote ([B" + STR + STR + ")Z");
            holder(P + "Fsjni", P + "FsprotoCallbacks");
            callbacks(P + "FsprotoCallbacks", "nativeCallbackSetOperationProgress (II)V",
                    "nativeCallbackSetFileInfo (" + STR + "II)V", "nativeCallbackSetOperationEnd (ZI" + STR + ")V");
        });
        int code = Check.finish();
        if (code != 0) System.exit(code);
    }
}
