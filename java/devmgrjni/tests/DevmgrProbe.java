import eu.veltrano.zamo.DeviceCommunication.provider.Devmgrjni;
import eu.veltrano.zamo.DeviceCommunication.provider.WrapperException;
import java.nio.charset.StandardCharsets;
import vlntest.Check;

/**
 * Runs Devmgrjni natives for a road test that owns the devices: each argument is one call
 * "method:ID[:arg...]" (ID as hex, "null" for a null array; String arguments as hex of their UTF-8, int as
 * decimal), and each call prints one line: "method ms ok VALUE" or "method ms exc CLASS MODULE IDHEX TEXTHEX".
 * Values: "s<chars>:<hex of UTF-8>", "b:<hex>", "i:<n>", "z:<bool>", "v", "null".
 */
public final class DevmgrProbe {
    interface Call {
        Object run() throws Exception;
    }

    static String hexUtf8(String s) {
        return Check.hex(s.getBytes(StandardCharsets.UTF_8));
    }

    static String text(String hex) {
        return new String(Check.unhex(hex), StandardCharsets.UTF_8);
    }

    static String show(Object v) {
        if (v == null) return "null";
        if (v instanceof String) return "s" + ((String) v).length() + ":" + hexUtf8((String) v);
        if (v instanceof byte[]) return "b:" + Check.hex((byte[]) v);
        if (v instanceof Integer) return "i:" + v;
        if (v instanceof Boolean) return "z:" + v;
        return "v";
    }

    static Call callOf(String method, byte[] id, String[] a) {
        switch (method) {
            case "getSelectedRemoteDeviceId": return () -> Devmgrjni.getSelectedRemoteDeviceId(id);
            case "getProtocolList": return () -> Devmgrjni.getProtocolList(id);
            case "getFirmwareVersion": return () -> Devmgrjni.getFirmwareVersion(id);
            case "getFirmwarePlatformOptions": return () -> Devmgrjni.getFirmwarePlatformOptions(id);
            case "getFirmwareRunningTarget": return () -> Devmgrjni.getFirmwareRunningTarget(id);
            case "getFirmwareSubTarget": return () -> Devmgrjni.getFirmwareSubTarget(id);
            case "getFirmwareVersionString": return () -> Devmgrjni.getFirmwareVersionString(id);
            case "getFirmwareVerboseDescription": return () -> Devmgrjni.getFirmwareVerboseDescription(id);
            case "getFirmwareSignature": return () -> Devmgrjni.getFirmwareSignature(id);
            case "getFriendlyName": return () -> Devmgrjni.getFriendlyName(id);
            case "getRecoveryVersion": return () -> Devmgrjni.getRecoveryVersion(id);
            case "getApplicationUUID": return () -> Devmgrjni.getApplicationUUID(id);
            case "getApplicationInfoName": return () -> Devmgrjni.getApplicationInfoName(id);
            case "getApplicationInfoVersion": return () -> Devmgrjni.getApplicationInfoVersion(id);
            case "getParamTableSignature": return () -> Devmgrjni.getParamTableSignature(id);
            case "getParamTableDefaultsSignature": return () -> Devmgrjni.getParamTableDefaultsSignature(id);
            case "getDeviceName": return () -> Devmgrjni.getDeviceName(id);
            case "getDeviceSerialNumber": return () -> Devmgrjni.getDeviceSerialNumber(id);
            case "setFriendlyName":
                return () -> Devmgrjni.setFriendlyName(id, a[0].equals("null") ? null : text(a[0]));
            case "identifyRemote":
                return () -> {
                    Devmgrjni.identifyRemote(id, Integer.parseInt(a[0]));
                    return "void";
                };
            case "immediateReset":
                return () -> {
                    Devmgrjni.immediateReset(id);
                    return "void";
                };
            case "requestCoreFirmwareUpgrade":
                return () -> Devmgrjni.requestCoreFirmwareUpgrade(id, text(a[0]), text(a[1]));
            default: throw new IllegalArgumentException("unknown method " + method);
        }
    }

    public static void main(String[] args) throws Exception {
        Devmgrjni.load();
        for (String arg : args) {
            String[] parts = arg.split(":", -1);
            String method = parts[0];
            byte[] id = parts[1].equals("null") ? null : Check.unhex(parts[1]);
            String[] rest = new String[parts.length - 2];
            System.arraycopy(parts, 2, rest, 0, rest.length);
            Call call = callOf(method, id, rest);
            long start = System.nanoTime();
            String line;
            try {
                Object v = call.run();
                line = "ok " + (v instanceof String && v.equals("void") ? "v" : show(v));
            } catch (WrapperException e) {
                line = "exc WrapperException " + e.getModule() + " " + Check.hex(e.getRemoteId()) + " "
                        + hexUtf8(e.getMessage());
            } catch (Exception e) {
                line = "exc " + e.getClass().getSimpleName() + " - - " + hexUtf8(String.valueOf(e.getMessage()));
            }
            long ms = (System.nanoTime() - start) / 1_000_000L;
            System.out.println("probe " + method + " " + ms + " " + line);
        }
    }
}
