package examples.money;

import com.ferngate.quillpro.FloatValue;
import com.ferngate.quillpro.QuillCall;
import com.ferngate.quillpro.QuillTagModule;
import com.ferngate.quillpro.QuillTypeRef;
import com.ferngate.quillpro.QuillValue;
import java.io.Serializable;

/**
 * The script type {@code money}: an amount in cents and a currency, held by a Money object that
 * each value carries. Scripts make values with the tag {@code money(12.5, 'EUR')} and call the
 * members {@code amount}, {@code currency}, {@code add}, {@code format}; any other member name
 * reaches {@code _unknowntag}. Copying a value gives the copy its own clone of the object, and
 * the serialized form of a value holds the object's Java serialisation.
 */
public class Money extends QuillTagModule implements Cloneable, Serializable {
    private static final long serialVersionUID = 1L;
    private static final String CLASS = "examples/money/Money";
    private static final String TYPE = "money";

    private long cents;
    private String currency = "EUR";

    /** The instance the server makes for registration, and for calls on values without an object. */
    public Money() {
    }

    private Money(long cents, String currency) {
        this.cents = cents;
        this.currency = currency;
    }

    @Override
    public void registerModule() {
        registerTag("money", "create", "Makes a money value: money(amount, currency)");
    }

    @Override
    public Money clone() {
        try {
            return (Money) super.clone();
        } catch (CloneNotSupportedException e) {
            throw new AssertionError(e);
        }
    }

    /** The Money object of a value that carries one, or null. */
    private static Money of(QuillCall call, QuillTypeRef value) {
        Object object = call.typeGetCustomJavaObject(value);
        return object instanceof Money ? (Money) object : null;
    }

    private static int fail(QuillCall call, String message) {
        call.setResultMessage(message);
        return -1;
    }

    /**
     * Gives the new value its members, both ways a module can: typeAddMemberTag in one call, and
     * typeAllocTag followed by typeAddMember. The tag made by typeAllocTag is then added once more
     * under the callback names: no Java method is registered for them, so the server's built-in
     * copy (clone) and serialisation run.
     */
    private static int addMembers(QuillCall call, QuillTypeRef value) {
        for (String member : new String[] {"amount", "currency", "add", "_unknowntag"}) {
            int code = call.typeAddMemberTag(CLASS, member.equals("_unknowntag") ? "unknown" : member, value, member);
            if (code != 0) {
                return code;
            }
        }
        QuillTypeRef format = new QuillTypeRef();
        int code = call.typeAllocTag(format, CLASS, "format");
        if (code == 0) {
            code = call.typeAddMember(value, "Format", format);
        }
        for (String callback : new String[] {"onassign", "onserialize", "onunserialize"}) {
            if (code == 0) {
                code = call.typeAddMember(value, callback, format);
            }
        }
        return code;
    }

    /** [money: amount, currency] a value of type money; the amount is rounded to cents. */
    public int create(QuillCall call, int argument) {
        QuillTypeRef amount = new QuillTypeRef();
        FloatValue number = new FloatValue();
        QuillValue currency = new QuillValue();
        if (call.getTagParam2(0, amount) != 0 || call.typeGetDecimal(amount, number) != 0) {
            return fail(call, "money needs an amount");
        }
        if (call.getTagParam(1, currency) != 0 || currency.data == null || currency.data.length() != 3) {
            return fail(call, "money needs a three-letter currency");
        }
        QuillTypeRef value = new QuillTypeRef();
        int code = call.typeAllocCustom(value, TYPE);
        if (code == 0) {
            code = addMembers(call, value);
        }
        if (code == 0) {
            code = call.typeSetCustomJavaObject(value, new Money(Math.round(number.value * 100), currency.data.toUpperCase()));
        }
        return code != 0 ? code : call.returnTagValue(value);
    }

    /** [$m->amount] the amount as a decimal. */
    public int amount(QuillCall call, int argument) {
        return call.returnTagValueDecimal(cents / 100.0);
    }

    /** [$m->currency] the currency code. */
    public int currency(QuillCall call, int argument) {
        return call.returnTagValueString(currency);
    }

    /** [$m->add: other] adds another amount of the same currency to this one. */
    public int add(QuillCall call, int argument) {
        QuillTypeRef other = new QuillTypeRef();
        Money money = call.getTagParam2(0, other) == 0 ? of(call, other) : null;
        if (money == null) {
            return fail(call, "add needs a money value");
        }
        if (!money.currency.equals(currency)) {
            return fail(call, "cannot add " + money.currency + " to " + currency);
        }
        cents = Math.addExact(cents, money.cents);
        return 0;
    }

    /** [$m->format] "12.50 EUR". */
    public int format(QuillCall call, int argument) {
        long whole = Math.abs(cents);
        String text = (cents < 0 ? "-" : "") + whole / 100 + "." + String.format("%02d", whole % 100) + " " + currency;
        return call.returnTagValueString(text);
    }

    /** Any member money does not have. */
    public int unknown(QuillCall call, int argument) {
        QuillValue name = new QuillValue();
        call.getTagName(name);
        return fail(call, "money has no member " + name.name);
    }
}
